// The jail's guarantees, each checked by a program in a fresh jail entered from this binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>

#include "jail/jail.hpp"

namespace {

namespace fs = std::filesystem;
using platform::sandbox::JailOptions;
using platform::sandbox::JailResult;

bool absent(const std::string& path) {
    return ::access(path.c_str(), F_OK) != 0 && errno == ENOENT;
}

std::set<std::string> names(const std::string& dir) {
    std::set<std::string> all;
    for (const auto& entry : fs::directory_iterator(dir)) {
        all.insert(entry.path().filename().string());
    }
    return all;
}

// Only the init and this process: nothing of the caller's, no zombie (a zombie stays listed).
bool alone_with_init() {
    std::set<std::string> pids;
    for (const std::string& name : names("/proc")) {
        if (name.find_first_not_of("0123456789") == std::string::npos) {
            pids.insert(name);
        }
    }
    return pids == std::set<std::string>{"1", std::to_string(::getpid())};
}

// A grandchild that outlives its parent is adopted and reaped by the jail's init.
bool orphans_are_reaped() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(::fork() == 0 ? ::usleep(100000) : 0);
    }
    ::waitpid(child, nullptr, 0);
    for (int tries = 0; tries < 500 && !alone_with_init(); ++tries) {
        ::usleep(10000);  // up to 5 s on a loaded machine
    }
    return alone_with_init();
}

JailResult run_in(const std::string& dir, const std::function<bool()>& holds,
                  const JailOptions& options = {}) {
    JailResult result = platform::sandbox::enter_jail(dir, options);
    if (result.side == JailResult::Side::inside) {
        const bool ok = holds();
        std::fflush(nullptr);
        ::_exit(ok ? 0 : 1);
    }
    return result;
}

class Jail : public testing::Test {
protected:
    void TearDown() override {
        fs::remove_all(dir_);
        fs::remove(outside_);
    }
    char name_[19] = "./jail_test-XXXXXX";
    std::string dir_ = fs::absolute(::mkdtemp(name_)).lexically_normal().string();
    std::string outside_ = dir_ + "-outside";  // a file of the caller's beside the jail
};

TEST_F(Jail, Guarantees) {
    const std::string up = "/../" + fs::path(outside_).filename().string();
    std::ofstream(outside_) << "the caller's";
    fs::create_symlink(".." + up.substr(3), dir_ + "/up");
    fs::create_symlink(outside_, dir_ + "/abs");
    const int console = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(console >= 0 && ::grantpt(console) == 0 && ::unlockpt(console) == 0);
    JailOptions on_console;
    on_console.console = ::ptsname(console);
    JailOptions no_init;
    no_init.init = false;
    const struct {
        const char* guarantee;
        std::function<bool()> holds;
        JailOptions options = {};
    } cases[] = {
        {"the caller's paths unreachable", [&] { return absent(outside_) && absent(up); }},
        {"symlinks cannot escape", [] { return absent("/up") && absent("/abs"); }},
        {"own PID namespace, reboot reaches only the jail",
         [] { return ::getppid() == 1 && alone_with_init() && ::reboot(RB_DISABLE_CAD) == -1; }},
        {"without the init the program is PID 1", [] { return ::getpid() == 1; }, no_init},
        {"init reaps orphans", orphans_are_reaped},
        {"the console is dev/ttyS0 and dev/tty",
         [] {
             const int s0 = ::open("/dev/ttyS0", O_WRONLY | O_NOCTTY);
             const int tty = ::open("/dev/tty", O_WRONLY | O_NOCTTY);
             return ::isatty(s0) && ::isatty(tty) && ::write(s0, "S0,", 3) == 3 &&
                    ::write(tty, "tty;", 4) == 4;
         },
         on_console},
    };
    // Each twice in the same directory: what the first run left (dev/null, ...) is reused.
    for (int round = 1; round <= 2; ++round) {
        for (const auto& c : cases) {
            const JailResult result = run_in(dir_, c.holds, c.options);
            EXPECT_EQ(result.side, JailResult::Side::outside) << result.error;
            EXPECT_EQ(result.wait_status, 0) << c.guarantee << ", round " << round;
        }
    }
    // The pty hands the writes to the master side asynchronously: read until all are there.
    std::string seen;
    char chunk[32];
    pollfd ready{console, POLLIN, 0};
    ssize_t got = 1;
    while (seen.size() < 14 && got > 0 && ::poll(&ready, 1, 5000) == 1) {
        got = ::read(console, chunk, sizeof chunk);
        seen.append(chunk, got > 0 ? static_cast<size_t>(got) : 0);
    }
    EXPECT_EQ(seen, "S0,tty;S0,tty;");
    ::close(console);
}

// What the jailed program makes lands in the directory, its mounts stay inside, its end comes
// out; a jail that cannot be made runs nothing.
TEST_F(Jail, FilesMountsStatusAndFailures) {
    JailResult result = run_in(dir_, [] {
        return ::creat("/made", 0644) >= 0 && ::mkdir("/mnt", 0755) == 0 &&
               ::mount("tmpfs", "/mnt", "tmpfs", 0, nullptr) == 0 && ::creat("/mnt/x", 0644) >= 0;
    });
    EXPECT_EQ(result.wait_status, 0) << result.error;
    EXPECT_EQ(names(dir_), (std::set<std::string>{"dev", "made", "mnt", "proc", "run"}));
    EXPECT_TRUE(fs::is_empty(dir_ + "/mnt") && fs::is_empty(dir_ + "/run"));
    result = run_in(dir_, [] { return ::raise(SIGTERM) == 0; });
    EXPECT_TRUE(WIFSIGNALED(result.wait_status) && WTERMSIG(result.wait_status) == SIGTERM);

    fs::create_directories(dir_ + "/a");
    fs::create_symlink("/somewhere", dir_ + "/a/dev");  // would carry the mounts elsewhere
    JailOptions hook;
    hook.on_ready = [](pid_t init) { throw std::runtime_error("pid " + std::to_string(init > 0)); };
    for (const auto& [dir, options, error] :
         {std::tuple<std::string, JailOptions, std::string>{
              dir_ + "/a",
              {},
              "making directory " + dir_ + "/a/dev: it exists and is not a directory"},
          {dir_, hook, "preparing the jail: pid 1"}}) {
        result = run_in(
            dir, [] { return ::creat("/ran", 0644) >= 0; }, options);
        EXPECT_EQ(result.side, JailResult::Side::failed);
        EXPECT_EQ(result.error, "jail: " + error);
    }
    EXPECT_FALSE(fs::exists(dir_ + "/ran"));
}

}  // namespace
