// The jail seen from inside (this binary runs jailed by the shared test main) and jails entered
// from within it, whose effects are checked from outside.
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

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "jail/jail.hpp"

namespace {

namespace fs = std::filesystem;
using platform::sandbox::enter_jail;
using platform::sandbox::JailOptions;
using platform::sandbox::JailResult;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
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

std::string readlink_text(const std::string& path) {
    char link[64] = {};
    return ::readlink(path.c_str(), link, sizeof link - 1) > 0 ? link : "";
}

// ---- The binary's own jail, from inside -------------------------------------------------------

class JailedTestBinary : public testing::Test {
protected:
    void SetUp() override {
        const char* no_jail = std::getenv("MP_TEST_NO_JAIL");
        if (no_jail != nullptr && std::strcmp(no_jail, "1") == 0) {
            GTEST_SKIP() << "MP_TEST_NO_JAIL=1: the binary is not jailed";
        }
    }
};

TEST_F(JailedTestBinary, SeesNothingOfTheHost) {
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
    struct statfs marker {};
    ASSERT_EQ(::statfs("/run/mpboard-jail", &marker), 0) << std::strerror(errno);
    EXPECT_EQ(static_cast<long>(marker.f_type), 0x01021994) << "the board marker is on a tmpfs";
}

TEST_F(JailedTestBinary, RunsInItsOwnPidNamespaceWhereRebootReachesOnlyTheJail) {
    // Under qemu-user the init's helper thread takes PID 2 and the tests run as PID 3.
    ASSERT_EQ(::getppid(), 1);
    ASSERT_EQ(visible_pids(), (std::set<std::string>{"1", std::to_string(::getpid())}));
    // PID 1's parent is outside the namespace.
    EXPECT_NE(read_file("/proc/1/status").find("\nPPid:\t0\n"), std::string::npos);
    // Only called with the jail proven: in a PID namespace other than the host's, the kernel
    // answers commands other than restart, halt and power-off with EINVAL.
    errno = 0;
    EXPECT_EQ(::reboot(RB_DISABLE_CAD), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(JailedTestBinary, NetworkHasOnlyLoopbackAndItIsDown) {
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

TEST_F(JailedTestBinary, DevicesAndPseudoTerminalsAreTheJailsOwn) {
    for (const auto& [path, device] : {std::pair{"/dev/null", ::makedev(1, 3)},
                                       {"/dev/zero", ::makedev(1, 5)},
                                       {"/dev/tty", ::makedev(5, 0)}}) {
        struct stat st {};
        ASSERT_EQ(::stat(path, &st), 0) << path;
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << path;
        EXPECT_EQ(st.st_rdev, device) << path;
    }
    EXPECT_EQ(readlink_text("/dev/ptmx"), "pts/ptmx");
    struct statfs pts {};
    ASSERT_EQ(::statfs("/dev/pts", &pts), 0);
    EXPECT_EQ(static_cast<long>(pts.f_type), 0x1cd1) << "devpts";
    // Jail.ConsoleIsTtyS0AndTty opens a pseudo-terminal pair through them.
}

// ---- Jails entered from inside, checked from outside -------------------------------------------

class Jail : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "./jail_test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr) << std::strerror(errno);
        dir_ = fs::absolute(name).lexically_normal().string();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Runs body as the program of a jail in dir; its return value is the program's exit status.
    static JailResult run(const std::string& dir, const std::function<int()>& body,
                          const JailOptions& options = {}) {
        JailResult result = enter_jail(dir, options);
        if (result.side == JailResult::Side::inside) {
            const int code = body();
            std::fflush(nullptr);
            ::_exit(code);
        }
        return result;
    }

    std::string dir_;
};

TEST_F(Jail, ProgramStatusReachesTheCaller) {
    JailResult result = run(dir_, [] { return 7; });
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    EXPECT_TRUE(WIFEXITED(result.wait_status));
    EXPECT_EQ(WEXITSTATUS(result.wait_status), 7);

    result = run(dir_, [] { return ::raise(SIGTERM); });
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    EXPECT_TRUE(WIFSIGNALED(result.wait_status));
    EXPECT_EQ(WTERMSIG(result.wait_status), SIGTERM);

    // Without the init the program is PID 1 itself.
    JailOptions no_init;
    no_init.init = false;
    result = run(
        dir_, [] { return ::getpid() == 1 ? 5 : 6; }, no_init);
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    EXPECT_EQ(WEXITSTATUS(result.wait_status), 5);
}

TEST_F(Jail, FilesLandInTheDirectoryAndMountsStayInside) {
    const JailResult result = run(dir_, [] {
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
    EXPECT_EQ(read_file(dir_ + "/user/image1"), "slot one");
    EXPECT_TRUE(fs::is_directory(dir_ + "/mnt"));
    EXPECT_FALSE(fs::exists(dir_ + "/mnt/on-tmpfs"));
    EXPECT_FALSE(fs::exists(dir_ + "/run/mpboard-jail"));
    EXPECT_TRUE(fs::is_empty(dir_ + "/dev/pts"));
}

TEST_F(Jail, ConsoleIsTtyS0AndTty) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0) << std::strerror(errno);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    JailOptions options;
    options.console = ::ptsname(master);
    const auto write_ok = [] {
        for (const char* path : {"/dev/ttyS0", "/dev/tty"}) {
            const int fd = ::open(path, O_WRONLY | O_NOCTTY);
            if (fd < 0 || ::isatty(fd) == 0 || ::write(fd, "ok\n", 3) != 3) {
                return 1;
            }
            ::close(fd);
        }
        return 0;
    };
    const JailResult result = run(dir_, write_ok, options);
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    EXPECT_EQ(WEXITSTATUS(result.wait_status), 0);
    char buffer[32] = {};
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    ::close(master);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "ok\r\nok\r\n");
}

TEST_F(Jail, ReadyHookSeesTheJailBeforeTheProgramRuns) {
    JailOptions options;
    std::string jail_pid_ns;
    options.on_ready = [&](pid_t init) {
        jail_pid_ns = readlink_text("/proc/" + std::to_string(init) + "/ns/pid");
    };
    JailResult result = run(
        dir_, [] { return 0; }, options);
    ASSERT_EQ(result.side, JailResult::Side::outside) << result.error;
    EXPECT_EQ(jail_pid_ns.rfind("pid:[", 0), 0u) << jail_pid_ns;
    EXPECT_NE(jail_pid_ns, readlink_text("/proc/self/ns/pid"));

    options.on_ready = [](pid_t) { throw std::runtime_error("no veth today"); };
    const auto touch = [] {
        std::ofstream("/ran") << "x";
        return 0;
    };
    result = run(dir_, touch, options);
    EXPECT_EQ(result.side, JailResult::Side::failed);
    EXPECT_EQ(result.error, "jail: preparing the jail: no veth today");
    EXPECT_FALSE(fs::exists(dir_ + "/ran"));
}

TEST_F(Jail, FailuresNameTheStep) {
    auto must_fail = [](const std::string& dir, const JailOptions& options = {}) {
        const JailResult result = run(
            dir, [] { return 0; }, options);
        EXPECT_EQ(result.side, JailResult::Side::failed);
        return result.error;
    };
    EXPECT_EQ(must_fail("/no-such-board"), "jail: /no-such-board: No such file or directory");

    const std::string file_as_dev = dir_ + "/a";
    fs::create_directories(file_as_dev);
    std::ofstream(file_as_dev + "/dev") << "not a directory";
    EXPECT_EQ(must_fail(file_as_dev),
              "jail: making directory " + file_as_dev + "/dev: it exists and is not a directory");

    const std::string foreign_ptmx = dir_ + "/b";
    fs::create_directories(foreign_ptmx + "/dev");
    fs::create_symlink("/somewhere/ptmx", foreign_ptmx + "/dev/ptmx");
    EXPECT_EQ(
        must_fail(foreign_ptmx),
        "jail: linking " + foreign_ptmx + "/dev/ptmx to pts/ptmx: it is a link to /somewhere/ptmx");

    JailOptions options;
    options.console = dir_;
    EXPECT_EQ(must_fail(dir_, options), "jail: console " + dir_ + ": not a terminal device");
}

}  // namespace
