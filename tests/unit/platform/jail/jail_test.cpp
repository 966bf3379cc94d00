// The jail seen from inside (this binary runs jailed by the shared test main) and jails entered
// from within it, whose effects are checked from outside.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>

#include "platform/sandbox/jail.hpp"

namespace {

namespace fs = std::filesystem;
using platform::sandbox::enter_jail;
using platform::sandbox::JailOptions;
using platform::sandbox::JailResult;

constexpr long kTmpfsMagic = 0x01021994;
constexpr long kDevptsMagic = 0x1cd1;

bool unjailed() {
    const char* no_jail = std::getenv("MP_TEST_NO_JAIL");
    return no_jail != nullptr && std::strcmp(no_jail, "1") == 0;
}

#define SKIP_UNLESS_JAILED()                                           \
    if (unjailed()) {                                                  \
        GTEST_SKIP() << "MP_TEST_NO_JAIL=1: the binary is not jailed"; \
    }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> visible_pids() {
    std::set<std::string> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos) {
            pids.insert(name);
        }
    }
    return pids;
}

class TempDir {
public:
    TempDir() {
        std::array<char, 32> name{};
        std::snprintf(name.data(), name.size(), "./jail_test-XXXXXX");
        if (::mkdtemp(name.data()) == nullptr) {
            throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        }
        path_ = fs::absolute(name.data()).lexically_normal().string();
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Runs body as the program of a jail in dir; its return value is the program's exit status.
JailResult run_jailed(const std::string& dir, const std::function<int()>& body,
                      const JailOptions& options = {}) {
    JailResult result = enter_jail(dir, options);
    if (result.side == JailResult::Side::inside) {
        const int code = body();
        std::fflush(nullptr);
        ::_exit(code);
    }
    return result;
}

// ---- The binary's own jail, from inside -------------------------------------------------------

TEST(JailedTestBinary, SeesNothingOfTheHost) {
    SKIP_UNLESS_JAILED();
    for (const char* path : {"/etc/passwd", "/usr", "/bin/sh", "/lib", "/home", "/sys", "/tmp"}) {
        errno = 0;
        EXPECT_NE(::access(path, F_OK), 0) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator("/")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("jail_test-", 0) != 0) {
            top.insert(name);
        }
    }
    EXPECT_EQ(top, (std::set<std::string>{"dev", "proc", "run"}));
    struct stat root {};
    struct stat above {};
    ASSERT_EQ(::stat("/", &root), 0);
    ASSERT_EQ(::stat("/..", &above), 0);
    EXPECT_EQ(root.st_ino, above.st_ino);
}

TEST(JailedTestBinary, RunsInItsOwnPidNamespace) {
    SKIP_UNLESS_JAILED();
    // Under qemu-user the init's helper thread takes PID 2 and the tests run as PID 3.
    EXPECT_EQ(::getppid(), 1);
    EXPECT_EQ(visible_pids(), (std::set<std::string>{"1", std::to_string(::getpid())}));
    // PID 1's parent is outside the namespace.
    EXPECT_NE(read_file("/proc/1/status").find("\nPPid:\t0\n"), std::string::npos);
}

TEST(JailedTestBinary, RebootReachesOnlyTheJail) {
    SKIP_UNLESS_JAILED();
    // Only ever called with the jail proven: no host namespace has just two processes.
    ASSERT_EQ(::getppid(), 1);
    ASSERT_EQ(visible_pids(), (std::set<std::string>{"1", std::to_string(::getpid())}));
    // In a PID namespace other than the host's, the kernel answers commands other than
    // restart, halt and power-off with EINVAL instead of acting on the machine.
    errno = 0;
    EXPECT_EQ(::reboot(RB_DISABLE_CAD), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(JailedTestBinary, NetworkHasOnlyLoopbackAndItIsDown) {
    SKIP_UNLESS_JAILED();
    struct if_nameindex* names = ::if_nameindex();
    ASSERT_NE(names, nullptr) << std::strerror(errno);
    std::set<std::string> interfaces;
    for (const struct if_nameindex* it = names; it->if_index != 0; ++it) {
        interfaces.insert(it->if_name);
    }
    ::if_freenameindex(names);
    EXPECT_EQ(interfaces, (std::set<std::string>{"lo"}));

    const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0) << std::strerror(errno);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    ASSERT_EQ(::ioctl(sock, SIOCGIFFLAGS, &request), 0) << std::strerror(errno);
    EXPECT_EQ(request.ifr_flags & IFF_UP, 0);
    ::close(sock);
}

TEST(JailedTestBinary, BoardMarkerIsOnATmpfs) {
    SKIP_UNLESS_JAILED();
    struct statfs fs_info {};
    ASSERT_EQ(::statfs("/run/mpboard-jail", &fs_info), 0) << std::strerror(errno);
    EXPECT_EQ(static_cast<long>(fs_info.f_type), kTmpfsMagic);
}

TEST(JailedTestBinary, DevicesAndPseudoTerminalsWork) {
    SKIP_UNLESS_JAILED();
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, ::makedev(1, 3));
    ASSERT_EQ(::stat("/dev/tty", &st), 0);
    EXPECT_EQ(st.st_rdev, ::makedev(5, 0));

    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null_fd, 0);
    EXPECT_EQ(::write(null_fd, "gone", 4), 4);
    std::array<char, 8> buffer{};
    EXPECT_EQ(::read(null_fd, buffer.data(), buffer.size()), 0);
    ::close(null_fd);
    std::ifstream zero("/dev/zero", std::ios::binary);
    buffer.fill('x');
    zero.read(buffer.data(), buffer.size());
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(buffer.size(), '\0'));

    std::array<char, 16> link{};
    ASSERT_GT(::readlink("/dev/ptmx", link.data(), link.size() - 1), 0);
    EXPECT_STREQ(link.data(), "pts/ptmx");
    struct statfs fs_info {};
    ASSERT_EQ(::statfs("/dev/pts", &fs_info), 0);
    EXPECT_EQ(static_cast<long>(fs_info.f_type), kDevptsMagic);

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0) << std::strerror(errno);
    ASSERT_EQ(::grantpt(master), 0) << std::strerror(errno);
    ASSERT_EQ(::unlockpt(master), 0) << std::strerror(errno);
    const std::string slave_name = ::ptsname(master);
    EXPECT_EQ(slave_name.rfind("/dev/pts/", 0), 0u) << slave_name;
    const int slave = ::open(slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0) << slave_name << ": " << std::strerror(errno);
    ASSERT_EQ(::write(master, "ping\n", 5), 5);
    buffer.fill('\0');
    EXPECT_EQ(::read(slave, buffer.data(), buffer.size()), 5);
    EXPECT_EQ(std::string(buffer.data(), 5), "ping\n");
    ::close(slave);
    ::close(master);
}

// ---- Jails entered from inside, checked from outside -------------------------------------------

TEST(Jail, ProgramStatusReachesTheCaller) {
    TempDir dir;
    JailResult result = run_jailed(dir.path(), [] { return 7; });
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    EXPECT_TRUE(WIFEXITED(result.wait_status));
    EXPECT_EQ(WEXITSTATUS(result.wait_status), 7);

    result = run_jailed(dir.path(), [] { return ::raise(SIGTERM); });
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    EXPECT_TRUE(WIFSIGNALED(result.wait_status));
    EXPECT_EQ(WTERMSIG(result.wait_status), SIGTERM);

    // Without the init the program is PID 1 itself.
    JailOptions no_init;
    no_init.init = false;
    result = run_jailed(
        dir.path(), [] { return ::getpid() == 1 ? 5 : 6; }, no_init);
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    EXPECT_EQ(WEXITSTATUS(result.wait_status), 5);
}

TEST(Jail, FilesLandInTheDirectoryAndMountsStayInside) {
    TempDir dir;
    const JailResult result = run_jailed(dir.path(), [] {
        if (::mkdir("/user", 0755) != 0 || ::mkdir("/mnt", 0755) != 0) {
            return 10;
        }
        std::ofstream("/user/image1") << "slot one";
        if (::mount("tmpfs", "/mnt", "tmpfs", 0, nullptr) != 0) {
            return 11;
        }
        std::ofstream("/mnt/on-tmpfs") << "x";
        return ::access("/mnt/on-tmpfs", F_OK) == 0 ? 0 : 12;
    });
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    ASSERT_EQ(WEXITSTATUS(result.wait_status), 0);
    EXPECT_EQ(read_file(dir.path() + "/user/image1"), "slot one");
    EXPECT_TRUE(fs::is_directory(dir.path() + "/mnt"));
    EXPECT_FALSE(fs::exists(dir.path() + "/mnt/on-tmpfs"));
    EXPECT_FALSE(fs::exists(dir.path() + "/run/mpboard-jail"));
    EXPECT_TRUE(fs::is_empty(dir.path() + "/dev/pts"));
}

TEST(Jail, ConsoleIsTtyS0AndTty) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0) << std::strerror(errno);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    TempDir dir;
    JailOptions options;
    options.console = ::ptsname(master);
    const JailResult result = run_jailed(
        dir.path(),
        [] {
            for (const char* path : {"/dev/ttyS0", "/dev/tty"}) {
                const int fd = ::open(path, O_WRONLY | O_NOCTTY);
                if (fd < 0 || ::isatty(fd) == 0 || ::write(fd, "ok\n", 3) != 3) {
                    return 1;
                }
                ::close(fd);
            }
            return 0;
        },
        options);
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    EXPECT_EQ(WEXITSTATUS(result.wait_status), 0);
    std::array<char, 32> buffer{};
    const ssize_t n = ::read(master, buffer.data(), buffer.size());
    ::close(master);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(n)), "ok\r\nok\r\n");
}

TEST(Jail, ReadyHookSeesTheJailBeforeTheProgramRuns) {
    TempDir dir;
    JailOptions options;
    std::string jail_pid_ns;
    options.on_ready = [&](pid_t init) {
        std::array<char, 64> link{};
        const std::string path = "/proc/" + std::to_string(init) + "/ns/pid";
        if (::readlink(path.c_str(), link.data(), link.size() - 1) > 0) {
            jail_pid_ns = link.data();
        }
    };
    JailResult result = run_jailed(
        dir.path(), [] { return 0; }, options);
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    std::array<char, 64> own{};
    ASSERT_GT(::readlink("/proc/self/ns/pid", own.data(), own.size() - 1), 0);
    EXPECT_EQ(jail_pid_ns.rfind("pid:[", 0), 0u) << jail_pid_ns;
    EXPECT_NE(jail_pid_ns, own.data());

    options.on_ready = [](pid_t) { throw std::runtime_error("no veth today"); };
    result = run_jailed(
        dir.path(),
        [] {
            std::ofstream("/ran") << "x";
            return 0;
        },
        options);
    EXPECT_EQ(result.side, JailResult::Side::failed);
    EXPECT_EQ(result.error, "jail: preparing the jail: no veth today");
    EXPECT_FALSE(fs::exists(dir.path() + "/ran"));
}

TEST(Jail, FailuresNameTheStep) {
    auto must_fail = [](const std::string& dir, const JailOptions& options = {}) {
        const JailResult result = run_jailed(
            dir, [] { return 0; }, options);
        EXPECT_EQ(result.side, JailResult::Side::failed);
        return result.error;
    };
    EXPECT_EQ(must_fail("/no-such-board"), "jail: /no-such-board: No such file or directory");

    TempDir file_as_dev;
    std::ofstream(file_as_dev.path() + "/dev") << "not a directory";
    EXPECT_EQ(must_fail(file_as_dev.path()), "jail: making directory " + file_as_dev.path() +
                                                 "/dev: it exists and is not a directory");

    TempDir foreign_ptmx;
    fs::create_directory(foreign_ptmx.path() + "/dev");
    fs::create_symlink("/somewhere/ptmx", foreign_ptmx.path() + "/dev/ptmx");
    EXPECT_EQ(must_fail(foreign_ptmx.path()),
              "jail: linking " + foreign_ptmx.path() +
                  "/dev/ptmx to pts/ptmx: it is a link to /somewhere/ptmx");

    TempDir board;
    JailOptions options;
    options.console = board.path();
    EXPECT_EQ(must_fail(board.path(), options),
              "jail: console " + board.path() + ": not a terminal device");
}

}  // namespace
