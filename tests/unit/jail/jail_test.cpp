// The jail's guarantees, each checked by a program in a fresh jail entered from this binary.
#include <fcntl.h>
#include <gtest/gtest.h>
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

#include "jail/jail.hpp"

namespace {

namespace fs = std::filesystem;
using jail::JailOptions;
using jail::JailResult;

bool absent(const std::string& path) {
    return ::access(path.c_str(), F_OK) != 0 && errno == ENOENT;
}

std::set<std::string> names(const std::string& dir, bool pids_only = false) {
    std::set<std::string> all;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!pids_only || name.find_first_not_of("0123456789") == std::string::npos) {
            all.insert(name);
        }
    }
    return all;
}

// Only the init and this process: nothing of the caller's, no zombie (a zombie stays listed).
bool alone_with_init() {
    return names("/proc", true) == std::set<std::string>{"1", std::to_string(::getpid())};
}

JailResult run_in(const std::string& dir, const std::function<bool()>& holds,
                  const JailOptions& options = {}) {
    JailResult result = jail::enter_jail(dir, options);
    if (result.side == JailResult::Side::inside) {
        ::_exit(holds() ? 0 : 1);
    }
    return result;
}

class Jail : public testing::Test {
protected:
    void TearDown() override {
        fs::remove_all(dir_);
        fs::remove(dir_ + "-outside");
    }
    char name_[19] = "./jail_test-XXXXXX";
    std::string dir_ = fs::absolute(::mkdtemp(name_)).lexically_normal().string();
};

TEST_F(Jail, Guarantees) {
    // A file of the caller's beside the jail, and links that would lead to it.
    const std::string outside = dir_ + "-outside",
                      up = "/../" + fs::path(outside).filename().string();
    std::ofstream(outside) << "the caller's";
    fs::create_symlink(".." + up.substr(3), dir_ + "/up");
    fs::create_symlink(outside, dir_ + "/abs");
    const std::function<bool()> cases[] = {
        [&] { return absent(outside) && absent(up) && absent("/up") && absent("/abs"); },
        [] { return ::getppid() == 1 && alone_with_init() && ::reboot(RB_DISABLE_CAD) == -1; },
        [] {  // a grandchild that outlives its parent is adopted and reaped by the init
            if (const pid_t child = ::fork(); child == 0) {
                ::_exit(::fork() == 0 ? ::usleep(100000) : 0);
            } else {
                ::waitpid(child, nullptr, 0);
            }
            for (int tries = 0; tries < 500 && !alone_with_init(); ++tries) {
                ::usleep(10000);  // up to 5 s on a loaded machine
            }
            return alone_with_init();
        },
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const JailResult result = run_in(dir_, cases[i]);
        EXPECT_TRUE(result.side == JailResult::Side::outside && result.wait_status == 0)
            << "case " << i << result.error;
    }
}

// What the jailed program makes lands in the directory, its mounts stay inside, its end comes
// out, a second jail reuses what the first left; a jail that cannot be made runs nothing.
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
    const auto ran = [] { return ::creat("/ran", 0644) >= 0; };
    result = run_in(dir_ + "/a", ran);
    EXPECT_EQ(result.error,
              "jail: making directory " + dir_ + "/a/dev: it exists and is not a directory");
    JailOptions hook;
    hook.on_ready = [](pid_t init) { throw std::runtime_error("pid " + std::to_string(init > 0)); };
    const JailResult thrown = run_in(dir_, ran, hook);
    EXPECT_EQ(thrown.error, "jail: preparing the jail: pid 1");
    EXPECT_TRUE(result.side == JailResult::Side::failed && thrown.side == result.side);
    EXPECT_FALSE(fs::exists(dir_ + "/ran"));
}

}  // namespace
