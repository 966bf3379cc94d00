#include "launch_fixture.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "launch/launch_steps.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace launch_test {

namespace fs = std::filesystem;

namespace {

constexpr int kReturnedStatus = 77;
constexpr std::size_t kSector = 4096;

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    store_be32(std::span<std::uint8_t, 4>(b.data() + at, 4), v);
}

// The launcher's paths are absolute ("/user/images/image1", "/tmp/kaviximage.tar.gz"). They
// may only be used inside the private root the test main gives each test binary, which holds
// nothing of the host: no /usr.
bool inside_test_jail() {
    struct stat st {};
    return stat("/usr/bin", &st) != 0;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

void LaunchTest::reset_flags() {
    gdb_enable = 0;
    gdbserver_enable = 0;
    gdbport = 1234;
    shell_enable = 0;
    memchk_enable = 0;
    rescue_enable = 0;
    standalone_diags = 0;
    sig_quit_raised = 0;
}

Bytes make_record(const RecordSpec& spec) {
    const std::size_t header = spec.hdrlen != 0 ? spec.hdrlen : 16;
    Bytes r(header, 0);
    put32(r, 4, spec.len.value_or(static_cast<std::uint32_t>(spec.payload.size())));
    put32(r, 8, spec.hdrlen != 0 ? spec.magic | 0x80000000u : spec.magic);
    put32(r, 12, 0x01020304u);
    if (spec.hdrlen != 0) {
        for (std::size_t i = 16; i < header; ++i) {
            r[i] = 0x5A;  // reserved bytes: covered by the CRC, read by nobody
        }
        store_be16(std::span<std::uint8_t, 2>(r.data() + 18, 2), spec.hdrlen);
    }
    r.insert(r.end(), spec.payload.begin(), spec.payload.end());
    if (spec.stored != 0) {
        r.resize(spec.stored);
    }
    std::uint32_t crc = gen_crc(r.data() + 4, static_cast<std::uint32_t>(r.size() - 4), CRC_START);
    put32(r, 0, spec.bad_crc ? crc ^ 0x00010000u : crc);
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

void note(std::string_view text) {
    std::fflush(stdout);
    static_cast<void>(::write(STDOUT_FILENO, text.data(), text.size()));
}

std::string sys(std::string_view command) {
    return "{system:" + std::string(command) + "}";
}

std::string exec(std::string_view program) {
    return "{exec:" + std::string(program) + "}";
}

void LaunchTest::SetUp() {
    if (!inside_test_jail()) {
        GTEST_SKIP() << "the launch tests use /user and /tmp: they run only inside the test jail";
    }
    char name[] = "launch-board-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = fs::absolute(name).string();
    for (const char* d : {"dev/lamel", "etc", "var/log"}) {
        fs::create_directories(board_file(d));
    }
    for (const char* part : {"uboot", "ubootenv", "devicetree", "kernel", "rfs"}) {
        write_file(board_file(std::string("dev/mtd-") + part), Bytes(4 * kSector, 0xFF));
    }
    write_file(board_file("dev/mtd-rescue"), Bytes(kRescuePartitionSize, 0xFF));
    write_file(board_file("dev/i2c-0"), {});
    write_file(board_file("dev/i2c-1"), {});
    write_file(board_file("dev/lamel/cpld_mmmap"), Bytes(32, 0));
    write_file(board_file("var/vpd.bin"), Bytes(256, 0xFF));
    board_conf("");

    fs::create_directories("/user/images");
    fs::create_directories("/tmp");
    for (const char* p : {"/user/images/image1", "/user/images/image2", "/tmp/kaviximage.tar.gz",
                          "/tmp/gdb", "/tmp/gdb.gz", "/tmp/image"}) {
        fs::remove_all(p);
    }
    reset_flags();
    answer = [](std::string_view, std::string_view) { return 0; };
}

void LaunchTest::TearDown() {
    if (!dir_.empty() && !HasFailure()) {
        fs::remove_all(dir_);
    }
}

std::string LaunchTest::board_file(std::string_view rel) const {
    return dir_ + "/" + std::string(rel);
}

void LaunchTest::write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::optional<Bytes> LaunchTest::read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void LaunchTest::write_env(std::string_view variables) {
    Bytes env = {0x12, 0x34, 0x56, 0x78};  // checksum, never looked at
    env.insert(env.end(), variables.begin(), variables.end());
    env.push_back(0);
    env.resize(4 * kSector, 0xFF);
    write_file(board_file("dev/mtd-ubootenv"), env);
}

void LaunchTest::write_rescue(const Bytes& record) {
    Bytes part = *read_file(board_file("dev/mtd-rescue"));
    std::copy(record.begin(), record.end(), part.begin());
    write_file(board_file("dev/mtd-rescue"), part);
}

void LaunchTest::set_vpd(unsigned offset, std::uint8_t value) {
    Bytes eeprom = *read_file(board_file("var/vpd.bin"));
    eeprom.at(offset) = value;
    write_file(board_file("var/vpd.bin"), eeprom);
}

std::uint8_t LaunchTest::vpd(unsigned offset) const {
    return read_file(board_file("var/vpd.bin")).value().at(offset);
}

void LaunchTest::board_conf(std::string_view lines) {
    write_file(board_file("etc/board.conf"),
               text_bytes("clock.scale = 0\nmtd.erase_size = 4096\n" + std::string(lines)));
}

Outcome LaunchTest::run(const std::function<int()>& step, std::string_view input) {
    write_file(board_file("stdin"), text_bytes(input));
    const std::string out = board_file("stdout");
    const std::string err = board_file("stderr");
    const std::string ret = board_file("returned");
    std::fflush(stdout);
    std::fflush(stderr);
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
        std::fflush(stdout);
        std::fflush(stderr);
        std::FILE* f = std::fopen(ret.c_str(), "w");
        if (f != nullptr) {
            std::fprintf(f, "%d", value);
            std::fclose(f);
        }
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

Outcome LaunchTest::run_with_devices(const std::function<int()>& step, std::string_view input) {
    return run(
        [&step] {
            api_i2c_init();
            api_flash_init();
            return step();
        },
        input);
}

}  // namespace launch_test
