#include "support.hpp"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/byte_order.hpp"
#include "crc/crc.hpp"
#include "flash/flash.hpp"
#include "flash/flash_testing.hpp"
#include "i2c/i2c.hpp"
#include "i2c/i2c_testing.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace mp_test {

namespace fs = std::filesystem;

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    store_be32(std::span<std::uint8_t, 4>(b.data() + at, 4), v);
}

void seal(Bytes& record) {
    put32(record, 0,
          gen_crc(record.data() + 4, static_cast<std::uint32_t>(record.size() - 4), CRC_START));
}

Bytes make_record(const RecordShape& s) {
    Bytes r(s.hdrlen != 0 ? s.hdrlen : 16, 0x5A);
    put32(r, 4, s.len.value_or(static_cast<std::uint32_t>(s.payload.size())));
    put32(r, 8, s.hdrlen != 0 ? s.magic | 0x80000000u : s.magic);
    put32(r, 12, s.id);
    if (s.hdrlen != 0) {
        store_be16(std::span<std::uint8_t, 2>(r.data() + 18, 2), s.hdrlen);
    }
    r.insert(r.end(), s.payload.begin(), s.payload.end());
    r.resize(s.stored != 0 ? s.stored : r.size());
    seal(r);
    r[1] ^= s.bad_crc ? 0x01 : 0;
    return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>((i * 7 + (i >> 8) * 13 + seed) % 255);
    }
    return b;
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

void BoardTest::SetUp() {
    struct stat st {};  // the test main's private root holds nothing of the host: no /usr
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
    for (const base::Partition& p : base::kPartitions) {
        write_file(part_path(p.name),
                   erased(p.id == base::PartitionId::uboot ? kBootLoaderSize : kPartitionSize));
    }
    put("dev/i2c-0", {});
    put("dev/i2c-1", {});
    put("dev/lamel/cpld_mmmap", Bytes(32, 0));
    put("var/vpd.bin", erased(256));
    board_conf("");
    answer = [](std::string_view, std::string_view) { return 0; };
}

void BoardTest::TearDown() {
    platform::sandbox::set_root("/");
    platform::sandbox::reload();  // closes what a test in place left open
    if (!dir_.empty() && !HasFailure()) {
        fs::remove_all(dir_);
    }
}

void BoardTest::write_env(std::string_view variables) {
    Bytes env = concat({{0x12, 0x34, 0x56, 0x78}, text_bytes(variables), {0}});
    env.resize(kPartitionSize, 0xFF);
    write_file(part_path("ubootenv"), env);
}

void BoardTest::configure(std::string_view lines) {
    board_conf(lines);
    platform::sandbox::set_root(dir_);
    platform::sandbox::reload();
}

void BoardTest::gate(bool open) {
    Bytes regs = get("dev/lamel/cpld_mmmap");
    regs.at(20) = static_cast<std::uint8_t>((regs[20] & ~1u) | (open ? 1u : 0u));
    put("dev/lamel/cpld_mmmap", regs);
}

Outcome BoardTest::run(const std::function<int()>& step, std::string_view input) {
    constexpr int kReturned = 77;
    write_file(board_file("stdin"), text_bytes(input));
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen(board_file("stdin").c_str(), "r", stdin) ||
            !std::freopen(board_file("stdout").c_str(), "w", stdout) ||
            !std::freopen(board_file("stderr").c_str(), "w", stderr)) {
            _exit(126);
        }
        alarm(60);  // a watchdog, not a timing: a step that loops for ever fails its test
        platform::sandbox::set_root(dir_);
        platform::sandbox::reload();
        flash_reset_for_tests();
        i2c_reset_for_tests();
        platform::sandbox::set_recorder([reply = answer](std::string_view kind, auto command) {
            // Appended, not `"{" + std::string(kind)`: GCC 12 -O3 warns falsely (-Wrestrict) there.
            std::string line = "{";
            line.append(kind).append(":").append(command).append("}");
            std::fflush(stdout);
            static_cast<void>(::write(STDOUT_FILENO, line.data(), line.size()));
            return reply(kind, command);
        });
        const int value = step();
        std::fflush(nullptr);
        write_file(board_file("returned"), text_bytes(std::to_string(value)));
        _exit(kReturned);
    }
    Outcome o;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        ADD_FAILURE() << "could not run the scenario in a child";
        return o;
    }
    o.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (o.exit_status == kReturned) {
        o.returned = std::stoi(text("returned"));
        o.exit_status = -1;
    }
    o.out = text("stdout");
    o.err = text("stderr");
    return o;
}

Outcome BoardTest::run_with_devices(const std::function<int()>& step, std::string_view input) {
    return run([&step] { return api_i2c_init(), api_flash_init(), step(); }, input);
}

}  // namespace mp_test
