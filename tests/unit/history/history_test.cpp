// The boot history's and install records' file: what the reader refuses as damaged, and what a
// save keeps, replaces and starts anew.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "history/history.hpp"

namespace {

using history::Kind;
using history::State;

constexpr const char* kHead = "mplaunch boot history 1\n";

struct Text {
    const char* name;
    std::string text;
    State state;
    std::size_t entries;
};

std::string entries(int n) {
    std::string text = kHead;
    for (int i = 1; i <= n; ++i) {
        text += std::to_string(i) + " booted=slot1\n";
    }
    return text;
}

const Text kTexts[] = {
    {"heading-only", kHead, State::read, 0},
    {"two-entries", std::string(kHead) + "1 booted=slot1\n2 tried=slot1:crc,slot2:booted\n",
     State::read, 2},
    {"escaped", std::string(kHead) + "9 from=10.0.0.1%3Ap%20kg\n", State::read, 1},
    {"no-fields", std::string(kHead) + "5\n", State::read, 1},
    {"install-heading", "mplaunch install history 1\n", State::damaged, 0},
    {"empty", "", State::damaged, 0},
    {"no-final-newline", std::string(kHead) + "1 booted=slot1", State::damaged, 0},
    {"seq-falls", std::string(kHead) + "2 a=b\n1 a=b\n", State::damaged, 0},
    {"seq-repeats", std::string(kHead) + "2 a=b\n2 a=b\n", State::damaged, 0},
    {"seq-leading-zero", std::string(kHead) + "01 a=b\n", State::damaged, 0},
    {"seq-zero", std::string(kHead) + "0 a=b\n", State::damaged, 0},
    {"seq-too-big", std::string(kHead) + "4294967296 a=b\n", State::damaged, 0},
    {"key-twice", std::string(kHead) + "1 a=b a=c\n", State::damaged, 0},
    {"key-upper-case", std::string(kHead) + "1 A=b\n", State::damaged, 0},
    {"no-key", std::string(kHead) + "1 =b\n", State::damaged, 0},
    {"no-equals", std::string(kHead) + "1 ab\n", State::damaged, 0},
    {"two-blanks", std::string(kHead) + "1 a=b  c=d\n", State::damaged, 0},
    {"raw-blank-in-value", std::string(kHead) + "1 a=b%2\n", State::damaged, 0},
    {"bad-escape", std::string(kHead) + "1 a=%4g\n", State::damaged, 0},
    {"lower-case-escape", std::string(kHead) + "1 a=%4a\n", State::damaged, 0},
    {"control-byte", std::string(kHead) + "1 a=b\x1b[2J\n", State::damaged, 0},
    {"empty-line", std::string(kHead) + "\n", State::damaged, 0},
    {"line-too-long", std::string(kHead) + "1 a=" + std::string(history::kMaxLine, 'x') + "\n",
     State::damaged, 0},
    {"32-entries", entries(32), State::read, 32},
    {"33-entries", entries(33), State::damaged, 0},
};

class Parse : public ::testing::TestWithParam<Text> {};

TEST_P(Parse, ReadsOrRefuses) {
    const history::Log log = history::parse(Kind::boot, GetParam().text);
    EXPECT_EQ(log.state, GetParam().state);
    EXPECT_EQ(log.entries.size(), GetParam().entries);
}

std::string text_name(const ::testing::TestParamInfo<Text>& text) {
    std::string name = text.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(All, Parse, ::testing::ValuesIn(kTexts), text_name);

TEST(History, ValuesAndLists) {
    history::Entry e;
    e.seq = 3;
    e.set_text("from", "10.0.0.1:my package,v2\n");
    e.set_items("tried", {{"slot1", "crc"}, {"slot2", "booted"}});
    e.set_text("from", "host:pkg");  // replaced, not added
    const std::string text = history::format(Kind::install, {e});
    EXPECT_EQ(text, "mplaunch install history 1\n3 from=host%3Apkg tried=slot1:crc,slot2:booted\n");
    const history::Log log = history::parse(Kind::install, text);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].text("from"), "host:pkg");
    EXPECT_EQ(log.entries[0].text("tried"), std::nullopt);  // a list, not one part
    EXPECT_EQ(log.entries[0].items("tried"),
              (std::vector<history::Item>{{"slot1", "crc"}, {"slot2", "booted"}}));
}

std::string read_text(const char* path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(History, SaveKeepsTheLastAndReplacesItsOwn) {
    std::filesystem::create_directories("/h");
    const char* path = "/h/boots";
    std::filesystem::remove(path);
    bool damaged = true;
    for (std::uint32_t seq = 1; seq <= history::kMaxEntries + 3; ++seq) {
        history::Entry e;
        e.seq = seq;
        e.set_text("booted", "none");
        ASSERT_TRUE(history::save(Kind::boot, path, e, &damaged));
        EXPECT_FALSE(damaged);
        e.set_text("booted", "slot" + std::to_string(seq % 2 + 1));
        ASSERT_TRUE(history::save(Kind::boot, path, e));  // the same boot says more
    }
    history::Log log = history::read(Kind::boot, path);
    ASSERT_EQ(log.entries.size(), history::kMaxEntries);
    EXPECT_EQ(log.entries.front().seq, 4u);
    EXPECT_EQ(log.entries.back().text("booted"), "slot2");
    EXPECT_EQ(history::next_seq(log), history::kMaxEntries + 4);

    // A damaged file, or a FIFO in its place (never opened, never waited on), starts anew.
    for (const bool fifo : {false, true}) {
        std::filesystem::remove(path);
        if (fifo) {
            ASSERT_EQ(::mkfifo(path, 0644), 0);
        } else {
            std::ofstream(path) << "mplaunch boot history 1\n7 booted=slot1\n5 booted=slot2\n";
        }
        EXPECT_EQ(history::read(Kind::boot, path).state, State::damaged);
        EXPECT_EQ(history::next_seq(history::read(Kind::boot, path)), 1u);
        history::Entry e;
        e.seq = 1;
        e.set_text("booted", "diags");
        ASSERT_TRUE(history::save(Kind::boot, path, e, &damaged));
        EXPECT_TRUE(damaged);
        EXPECT_EQ(read_text(path), "mplaunch boot history 1\n1 booted=diags\n");
    }
}

}  // namespace
