// Every unit-test binary jails itself in a fresh <build>/test-jails/<binary>-<pid>, so the
// board's fixed paths are the jail's; MP_TEST_NO_JAIL=1 runs unjailed (tests needing it skip).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "jail/jail.hpp"

int main(int argc, char** argv) {
    GTEST_FLAG_SET(death_test_style, "fast");  // "threadsafe" re-executes: qemu-user cannot
    const char* no_jail = std::getenv("MP_TEST_NO_JAIL");
    if (no_jail == nullptr || std::string(no_jail) != "1") {
        namespace fs = std::filesystem;
        const fs::path base(MP_TEST_JAIL_BASE);
        std::error_code ec;
        fs::create_directories(base, ec);
        // A binary killed by a timeout leaves its directory: it goes once its process is gone.
        for (const auto& entry : fs::directory_iterator(base, ec)) {
            const std::string name = entry.path().filename().string();
            const long pid = std::atol(name.c_str() + name.rfind('-') + 1);
            if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                fs::remove_all(entry.path(), ec);
            }
        }
        const fs::path dir =
            base / (fs::path(argv[0]).filename().string() + "-" + std::to_string(::getpid()));
        fs::remove_all(dir, ec);  // left by an earlier process of this pid
        fs::create_directory(dir, ec);
        const auto jail = jail::enter_jail(dir, {});
        if (jail.side != jail::JailResult::Side::inside) {
            fs::remove_all(dir, ec);
            if (jail.side == jail::JailResult::Side::failed) {
                std::fprintf(stderr, "%s\ntest jail: MP_TEST_NO_JAIL=1 runs the tests unjailed\n",
                             jail.error.c_str());
                return 1;
            }
            jail::exit_like(jail.wait_status);
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
