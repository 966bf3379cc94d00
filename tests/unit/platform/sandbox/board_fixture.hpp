// A fresh sandbox board for each test, in a directory under the working directory (the test
// jail's); used by the emulators' tests and by the flash and i2c modules' tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace sandbox_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
inline constexpr std::size_t kBlock = 4096;

// Distinct per seed and per position and never 0xFF, so a lost or misplaced byte shows.
inline Bytes pattern(std::size_t size, std::size_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] = static_cast<std::uint8_t>((i * 131u + seed * 17u + (i >> 7)) & 0x7Fu);
    }
    return b;
}

// What is written on `fd` goes to `file` (gtest's own capture wants the host's /tmp) until text().
class Capture {
public:
    Capture(int fd, fs::path file) : fd_(fd), file_(std::move(file)) {
        std::fflush(nullptr);
        const int to = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(to, fd);
        ::close(to);
    }
    Capture(const Capture&) = delete;
    ~Capture() { text(); }
    std::string text() {
        std::fflush(nullptr);
        if (saved_ >= 0) {
            ::dup2(saved_, fd_);
            ::close(saved_);
            saved_ = -1;
        }
        std::ifstream in(file_);
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    int fd_;
    int saved_ = ::dup(fd_);
    fs::path file_;
};

class Board : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "sandbox-board-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = fs::absolute(name);
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
        put("etc/board.conf", Bytes(text.begin(), text.end()));
        platform::sandbox::set_root(dir_.string());
        platform::sandbox::reload();
    }
    void put(const std::string& rel, const Bytes& bytes) {
        fs::create_directories((dir_ / rel).parent_path());
        std::ofstream(dir_ / rel, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    Bytes get(const std::string& rel) const {
        std::ifstream in(dir_ / rel, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    std::string log() const {
        const Bytes b = get("var/log/board.log");
        return {b.begin(), b.end()};
    }
    Capture capture(int fd = STDOUT_FILENO) {
        return Capture(fd, dir_ / ("fd" + std::to_string(fd)));
    }
    // The VPD gate, bit 0 of CPLD register 20, set in the register file behind the emulator.
    void gate(bool open) {
        Bytes regs = get("dev/lamel/cpld_mmmap");
        regs.at(20) = static_cast<std::uint8_t>((regs[20] & ~1u) | (open ? 1u : 0u));
        put("dev/lamel/cpld_mmmap", regs);
    }
    // The multiplexer's control byte on a bus-0 descriptor (one bit per channel).
    static void mux(int bus, std::uint8_t control) {
        ASSERT_EQ(platform::i2c_select(bus, 0x70), 0);
        ASSERT_EQ(platform::dev_write(bus, &control, 1), 1);
    }
    fs::path dir_;
};

}  // namespace sandbox_test
