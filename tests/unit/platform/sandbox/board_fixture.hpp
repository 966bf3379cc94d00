// A fresh sandbox board for each test, in a directory made under the working directory.
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
#include <vector>

#include "platform/platform.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace sandbox_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint64_t kBlock = 4096;

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
        std::ofstream out(dir_ / rel, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    Bytes get(const std::string& rel) const {
        std::ifstream in(dir_ / rel, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    std::string log() const {
        std::ifstream in(dir_ / "var/log/board.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    bool exists(const std::string& rel) const { return fs::exists(dir_ / rel); }

    fs::path dir_;
};

// Collects what the code under test writes on standard error, in a file of the board (gtest's
// own capture wants the host's /tmp).
class StderrToFile {
public:
    explicit StderrToFile(const fs::path& file) : file_(file) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(fd, 2);
        ::close(fd);
    }
    StderrToFile(const StderrToFile&) = delete;
    StderrToFile& operator=(const StderrToFile&) = delete;
    ~StderrToFile() { restore(); }
    std::string text() {
        restore();
        std::ifstream in(file_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
    }
    fs::path file_;
    int saved_ = -1;
};

// A test process that already runs inside a board's jail cannot prove a refusal outside one.
inline bool inside_board() {
    struct statfs st {};
    return ::statfs("/run/mpboard-jail", &st) == 0 && fs::exists("/etc/board.conf");
}

}  // namespace sandbox_test
