// Boot settings from the environment partition: which texts switch which flags.
#include "flash/flash.hpp"
#include "flash/flash_testing.hpp"
#include "launch_test.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace mp_test {
namespace {

struct Flags {
    std::int32_t gdb = 0, gdbserver = 0, port = 1234;
    int shell = 0, memchk = 0;
    std::int32_t rescue = 0, diags = 0;
    bool operator==(const Flags&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Flags& f) {
    return os << "gdb " << f.gdb << " gdbserver " << f.gdbserver << " port " << f.port << " shell "
              << f.shell << " memchk " << f.memchk << " rescue " << f.rescue << " diags "
              << f.diags;
}

std::string vars(std::initializer_list<std::string_view> list) {
    std::string block;
    for (std::string_view v : list) {
        block.append(v);
        block.push_back('\0');
    }
    return block;
}

class BootSettingsTest : public LaunchTest {
protected:
    void TearDown() override {
        flash_reset_for_tests();
        LaunchTest::TearDown();
    }
    Flags parse(std::string_view variables) {
        write_env(variables);
        platform::sandbox::set_root(dir_);
        platform::sandbox::reload();
        flash_reset_for_tests();
        api_flash_init();
        parse_uboot_env();
        return {gdb_enable,    gdbserver_enable, gdbport,         shell_enable,
                memchk_enable, rescue_enable,    standalone_diags};
    }
};

TEST_F(BootSettingsTest, ValuesSwitchFlagsAsTheBootLoaderWritesThem) {
    struct Case {
        std::string env;
        Flags expected;
    };
    const Case cases[] = {
        {vars({"bootcmd=run boot", "baudrate=9600"}), {}},
        {vars({"gdb=on", "gdbserver=off"}), {.gdb = 1}},
        {vars({"gdb=off", "gdbserver=on"}), {.gdb = 1, .gdbserver = 1}},
        {vars({"gdbport=4321"}), {.port = 4321}},
        {vars({"gdbport=-17x"}), {.port = -17}},
        {vars({"gdbport=abc"}), {}},
        {vars({"gdbport=99999999999"}), {}},
        {vars({"shell=On", "memchk=online"}), {.memchk = 1}},
        {vars({"shell=one", "memchk=yes"}), {.shell = 1}},
        {vars({"diagnostics=rescue"}), {.rescue = 1}},
        {vars({"diagnostics=diags"}), {.diags = 1}},
        {vars({"diagnostics=none"}), {}},
        // The search is over the whole text: keys inside other names and values count, and
        // only the first occurrence decides.
        {vars({"xgdb=on"}), {.gdb = 1}},
        {vars({"bootargs=console=ttyS0 shell=on", "shell=off"}), {.shell = 1}},
        {vars({"memchk=off", "memchk=on"}), {}},
        // An empty value is followed by the next variable's text.
        {vars({"gdbport=", "7 more"}), {.port = 7}},
    };
    for (const Case& c : cases) {
        reset_flags();
        EXPECT_EQ(parse(c.env), c.expected) << c.env;
    }
}

TEST_F(BootSettingsTest, OnlyTheFirst1280BytesAfterTheChecksumAreSeen) {
    const std::string filler = "x=" + std::string(1280 - 3 - 8, 'y');  // with its NUL: 1272
    EXPECT_EQ(parse(vars({filler, "shell=on"})).shell, 1);
    EXPECT_EQ(parse(vars({filler + "z", "shell=on"})).shell, 0) << "cut to shell=o";
    shell_enable = 1;
    EXPECT_EQ(parse(vars({filler + std::string(8, 'z'), "shell=off"})).shell, 1)
        << "a key that starts beyond the block is not seen";
}

}  // namespace
}  // namespace mp_test
