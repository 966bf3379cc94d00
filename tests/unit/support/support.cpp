#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "crc/crc.hpp"
#include "flash/flash.hpp"
#include "flash/flash_testing.hpp"
#include "i2c/i2c.hpp"
#include "i2c/i2c_testing.hpp"
#include "image/byte_order.hpp"
#include "platform/sandbox/sandbox.hpp"
#include "support.hpp"

namespace mp_test {

namespace fs = std::filesystem;

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    store_be32(std::span<std::uint8_t, 4>(b.data() + at, 4), v);
}

void seal(Bytes& record) {
    put32(record, 0,
          gen_crc(record.data() + 4, static_cast<std::uint32_t>(record.size() - 4), CRC_START));
}

Bytes make_record(const RecordShape& shape) {
    Bytes r(shape.hdrlen != 0 ? shape.hdrlen : 16, 0x5A);
    put32(r, 4, shape.len.value_or(static_cast<std::uint32_t>(shape.payload.size())));
    put32(r, 8, shape.hdrlen != 0 ? shape.magic | 0x80000000u : shape.magic);
    put32(r, 12, shape.id);
    if (shape.hdrlen != 0) {
        store_be16(std::span<std::uint8_t, 2>(r.data() + 18, 2), shape.hdrlen);
    }
    r.insert(r.end(), shape.payload.begin(), shape.payload.end());
    if (shape.stored != 0) {
        r.resize(shape.stored);
    }
    seal(r);
    if (shape.bad_crc) {
        r[1] ^= 0x01;
    }
    return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

Bytes text_bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + seed);
    }
    return b;
}

Bytes erased(std::size_t n) {
    return Bytes(n, 0xFF);
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << path;
}

std::optional<Bytes> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string sys(std::string_view command) {
    return "{system:" + std::string(command) + "}";
}

std::string exec(std::string_view program) {
    return "{exec:" + std::string(program) + "}";
}

void note(std::string_view text) {
    std::fflush(stdout);
    static_cast<void>(::write(STDOUT_FILENO, text.data(), text.size()));
}

namespace {

constexpr int kReturnedStatus = 77;

std::string slurp(const std::string& path) {
    const Bytes b = read_file(path).value_or(Bytes{});
    return {b.begin(), b.end()};
}

}  // namespace

void BoardTest::SetUp() {
    // The fixed paths are only ever used inside the private root the test main gives each test
    // binary, which holds nothing of the host: no /usr.
    struct stat st {};
    if (stat("/usr/bin", &st) == 0) {
        GTEST_SKIP() << "uses /user and /tmp: runs only inside the test jail";
    }
    fs::remove_all("/user");
    fs::remove_all("/tmp");
    fs::create_directories("/user/images");
    fs::create_directories("/tmp");
    char name[] = "/board-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    for (const char* d : {"dev/lamel", "etc", "var/log"}) {
        fs::create_directories(board_file(d));
    }
    for (const char* p : {"devicetree", "kernel", "rfs", "rescue", "ubootenv"}) {
        write_file(part_path(p), erased(kPartitionSize));
    }
    write_file(part_path("uboot"), erased(kBootLoaderSize));
    write_file(board_file("dev/i2c-0"), {});
    write_file(board_file("dev/i2c-1"), {});
    write_file(board_file("dev/lamel/cpld_mmmap"), Bytes(32, 0));
    write_file(board_file("var/vpd.bin"), erased(256));
    board_conf("");
    answer = [](std::string_view, std::string_view) { return 0; };
}

void BoardTest::TearDown() {
    if (!dir_.empty() && !HasFailure()) {
        fs::remove_all(dir_);
    }
}

std::string BoardTest::board_file(std::string_view rel) const {
    return dir_ + "/" + std::string(rel);
}

std::string BoardTest::part_path(std::string_view name) const {
    return board_file("dev/mtd-" + std::string(name));
}

Bytes BoardTest::part(std::string_view name) const {
    return read_file(part_path(name)).value();
}

void BoardTest::write_env(std::string_view variables) {
    Bytes env = concat({{0x12, 0x34, 0x56, 0x78}, text_bytes(variables), {0}});
    env.resize(kPartitionSize, 0xFF);
    write_file(part_path("ubootenv"), env);
}

void BoardTest::write_rescue(const Bytes& record) {
    Bytes p = part("rescue");
    std::copy(record.begin(), record.end(), p.begin());
    write_file(part_path("rescue"), p);
}

void BoardTest::set_vpd(unsigned offset, std::uint8_t value) {
    Bytes eeprom = read_file(board_file("var/vpd.bin")).value();
    eeprom.at(offset) = value;
    write_file(board_file("var/vpd.bin"), eeprom);
}

std::uint8_t BoardTest::vpd(unsigned offset) const {
    return read_file(board_file("var/vpd.bin")).value().at(offset);
}

void BoardTest::board_conf(std::string_view lines) {
    write_file(board_file("etc/board.conf"),
               text_bytes("clock.scale = 0\nmtd.erase_size = 4096\n" + std::string(lines)));
}

Outcome BoardTest::run(const std::function<int()>& step, std::string_view input) {
    write_file(board_file("stdin"), text_bytes(input));
    const std::string out = board_file("stdout");
    const std::string err = board_file("stderr");
    const std::string ret = board_file("returned");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen(board_file("stdin").c_str(), "r", stdin) ||
            !std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) {
            _exit(126);
        }
        // A watchdog, not a timing: a step that loops for ever fails its test instead of
        // hanging the whole binary.
        alarm(60);
        platform::sandbox::set_root(dir_);
        platform::sandbox::reload();
        flash_reset_for_tests();
        i2c_reset_for_tests();
        auto reply = answer;
        platform::sandbox::set_recorder([reply](std::string_view kind, std::string_view command) {
            std::string line = "{";
            line.append(kind).append(":").append(command).append("}");
            note(line);
            return reply(kind, command);
        });
        const int value = step();
        std::fflush(nullptr);
        write_file(ret, text_bytes(std::to_string(value)));
        _exit(kReturnedStatus);
    }
    Outcome o;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        ADD_FAILURE() << "could not run the scenario in a child";
        return o;
    }
    o.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (o.exit_status == kReturnedStatus) {
        o.returned = std::stoi(slurp(ret));
        o.exit_status = -1;
    }
    o.out = slurp(out);
    o.err = slurp(err);
    return o;
}

Outcome BoardTest::run_with_devices(const std::function<int()>& step, std::string_view input) {
    return run(
        [&step] {
            api_i2c_init();
            api_flash_init();
            return step();
        },
        input);
}

}  // namespace mp_test
