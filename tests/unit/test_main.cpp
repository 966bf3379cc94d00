// The main of every unit-test binary.
//
// Before any test runs, the binary jails itself (platform::sandbox::enter_jail) in a fresh
// directory <build>/test-jails/<binary>-XXXXXX: private user, mount, PID and network namespaces,
// that directory as "/", holding only dev/null, dev/zero, dev/tty, a devpts instance, a tmpfs
// on /run and /proc (the leak checker of the sanitizer build reads it), and whatever the tests
// create there. So the board's fixed paths ("/dev/mtd-kernel", "/user/images/image1") are the
// jail's, and a test that goes wrong cannot touch the workstation. The calling process stays
// outside, waits, removes the directory and ends with the tests' status; gtest writes on the
// inherited standard output and error as usual, so --gtest_list_tests (test discovery) prints
// the same list jailed or not.
//
// MP_TEST_NO_JAIL=1 runs the tests unjailed, for a debugger, an xml report written outside
// (--gtest_output lands in the jail and is removed with it), or symbolized sanitizer reports
// (llvm-symbolizer is not inside the jail). Tests that need the jail skip themselves then.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "jail/jail.hpp"

#ifndef MP_TEST_JAIL_BASE
#error "MP_TEST_JAIL_BASE: the directory under the build tree that holds the tests' jails"
#endif

namespace {

bool jail_wanted() {
    const char* no_jail = std::getenv("MP_TEST_NO_JAIL");
    return no_jail == nullptr || std::strcmp(no_jail, "1") != 0;
}

namespace fs = std::filesystem;

// A jail's directory is <binary>-<pid of the process outside>-XXXXXX. A test killed by a
// timeout takes its whole jail with it but leaves the directory; it goes once that process is
// gone. (Nothing is mounted on it outside the jail's own namespace, which died with it.)
void remove_stale_jails(const fs::path& base) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(base, ec)) {
        const std::string name = entry.path().filename().string();
        const auto end = name.size() >= 8 ? name.size() - 7 : std::string::npos;
        if (end == std::string::npos || name[end] != '-') {
            continue;
        }
        const auto start = name.rfind('-', end - 1);
        if (start == std::string::npos || start + 1 == end ||
            name.find_first_not_of("0123456789", start + 1) < end) {
            continue;
        }
        const long pid = std::strtol(name.c_str() + start + 1, nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            fs::remove_all(entry.path(), ec);
        }
    }
}

// Returns only inside the jail; the process outside ends with the tests' status.
void jail_this_binary(const char* argv0) {
    const fs::path base(MP_TEST_JAIL_BASE);
    std::error_code ec;
    fs::create_directories(base, ec);
    if (ec) {
        std::fprintf(stderr, "test jail: cannot make %s: %s\n", base.c_str(), ec.message().c_str());
        std::exit(1);
    }
    remove_stale_jails(base);
    std::string pattern =
        (base / fs::path(argv0).filename()).string() + "-" + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        std::fprintf(stderr, "test jail: mkdtemp %s: %s\n", pattern.c_str(), std::strerror(errno));
        std::exit(1);
    }
    const std::string dir(name.data());

    const platform::sandbox::JailResult jail = platform::sandbox::enter_jail(dir);
    if (jail.side == platform::sandbox::JailResult::Side::inside) {
        return;
    }
    fs::remove_all(dir, ec);
    if (ec) {
        std::fprintf(stderr, "test jail: removing %s: %s\n", dir.c_str(), ec.message().c_str());
    }
    if (jail.side == platform::sandbox::JailResult::Side::failed) {
        std::fprintf(stderr, "%s\ntest jail: set MP_TEST_NO_JAIL=1 to run the tests unjailed\n",
                     jail.error.c_str());
        std::exit(1);
    }
    platform::sandbox::exit_like(jail.wait_status);
}

}  // namespace

int main(int argc, char** argv) {
    // The "threadsafe" style re-executes the binary, which qemu-user cannot do for a powerpc
    // binary; "fast" forks, and works jailed and under qemu alike.
    GTEST_FLAG_SET(death_test_style, "fast");
    if (jail_wanted()) {
        jail_this_binary(argv[0]);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
