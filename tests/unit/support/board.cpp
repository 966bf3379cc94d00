#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "flash/flash.hpp"
#include "flash/flash_testing.hpp"
#include "i2c/i2c.hpp"
#include "i2c/i2c_testing.hpp"
#include "platform/sandbox/sandbox.hpp"
#include "support.hpp"

namespace mp_test {

namespace fs = std::filesystem;

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
        const int in_fd = open(board_file("stdin").c_str(), O_RDONLY);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, STDIN_FILENO) < 0 ||
            dup2(out_fd, STDOUT_FILENO) < 0 || dup2(err_fd, STDERR_FILENO) < 0) {
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
            note("{" + std::string(kind) + ":" + std::string(command) + "}");
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
