// A fresh sandbox board for each test, in a directory made under the working directory; shared
// by the emulators' tests and the flash and i2c modules' tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace sandbox_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint64_t kBlock = 4096;
inline constexpr off_t kCpldControl = 20;

// Distinct per seed and per position and never 0xFF, so a lost or misplaced byte shows.
inline Bytes pattern(std::size_t size, std::size_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] = static_cast<std::uint8_t>((i * 131u + seed * 17u + (i >> 7)) & 0x7Fu);
    }
    return b;
}

// Sends what the code under test writes on descriptor `fd` to a file of the board (gtest's own
// capture wants the host's /tmp) until text() is asked for.
class Capture {
public:
    Capture(int fd, fs::path file) : fd_(fd), file_(std::move(file)) {
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        const int to = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(to, fd_);
        ::close(to);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    ~Capture() { restore(); }
    std::string text() {
        restore();
        std::ifstream in(file_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(nullptr);
            ::dup2(saved_, fd_);
            ::close(saved_);
            saved_ = -1;
        }
    }
    int fd_;
    fs::path file_;
    int saved_ = -1;
};

class Board : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "sandbox-board-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = fs::absolute(name);
        fs::create_directories(dir_ / "dev/lamel");
        fs::create_directories(dir_ / "etc");
        for (const char* part : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
            put(std::string("dev/mtd-") + part, Bytes(4 * kBlock, 0xFF));
        }
        put("dev/i2c-0", {});
        put("dev/i2c-1", {});
        put("dev/lamel/cpld_mmmap", Bytes(32, 0));
        configure("mtd.erase_size = 4096\n");
    }

    void TearDown() override {
        platform::sandbox::set_recorder(nullptr);
        platform::sandbox::reload();  // closes what a failed test left open
        platform::sandbox::set_root("/");
        fs::remove_all(dir_);
    }

    // Writes etc/board.conf and makes the platform read it.
    void configure(const std::string& text) {
        std::ofstream(dir_ / "etc/board.conf") << text;
        platform::sandbox::set_root(dir_.string());
        platform::sandbox::reload();
    }

    void put(const std::string& rel, const Bytes& bytes) {
        fs::create_directories((dir_ / rel).parent_path());
        std::ofstream out(dir_ / rel, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    Bytes get(const std::string& rel) const {
        std::ifstream in(dir_ / rel, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    std::string log() const {
        const Bytes b = get("var/log/board.log");
        return {b.begin(), b.end()};
    }

    bool exists(const std::string& rel) const { return fs::exists(dir_ / rel); }

    Capture capture(int fd = STDOUT_FILENO) {
        return Capture(fd, dir_ / (fd == STDOUT_FILENO ? "stdout" : "stderr"));
    }

    // The gate in front of the VPD EEPROM, switched in the CPLD's register file behind the
    // emulator's back (no status to wait for).
    void gate(bool open) {
        Bytes regs = get("dev/lamel/cpld_mmmap");
        regs.at(kCpldControl) =
            static_cast<std::uint8_t>(open ? regs[kCpldControl] | 1u : regs[kCpldControl] & ~1u);
        put("dev/lamel/cpld_mmmap", regs);
    }

    // Writes the multiplexer's control byte on bus 0 (one bit per channel).
    static void mux(int bus, std::uint8_t control) {
        ASSERT_EQ(platform::i2c_select(bus, 0x70), 0);
        ASSERT_EQ(platform::dev_write(bus, &control, 1), 1);
    }

    fs::path dir_;
};

// A test process that already runs inside a board's jail cannot prove a refusal outside one.
inline bool inside_board() {
    struct statfs st {};
    return ::statfs("/run/mpboard-jail", &st) == 0 && fs::exists("/etc/board.conf");
}

}  // namespace sandbox_test
