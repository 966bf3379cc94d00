// The launch tests' board: every boot flag back to its start value, and the texts of the
// launches as recording mode sees them (the exec is recorded and "fails").
#pragma once

#include "launch/launch_steps.hpp"
#include "support/support.hpp"

namespace mp_test {

inline constexpr std::uint32_t kApp = 0x01504F4C;
inline constexpr std::uint32_t kBoot = 0x02504F4C;
inline constexpr std::uint32_t kKernel = 0x03504F4C;
inline constexpr std::uint32_t kDiags = 0x06504F4C;

inline const std::string kMount = sys("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
inline const std::string kUnpack =
    sys("cd /tmp \ntar mxzf /tmp/kaviximage.tar.gz \nrm /tmp/kaviximage.tar.gz\n");
inline const std::string kBacktraceOut = exec("/bin/backtrace") + sys("reboot");
inline const std::string kBacktraceErr = "Failed to start Application OS.\n";
inline const std::string kDiagsMove = "install diags image\n" + sys("mkdir -p /tmp/home/bin") +
                                      sys("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
inline const std::string kShell =
    "Dropping into shell\n" + sys("/bin/sh\n") + "Dropping out of shell\n";

class LaunchTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        reset_flags();
    }
    static void reset_flags() {
        gdb_enable = 0;
        gdbserver_enable = 0;
        gdbport = 1234;
        shell_enable = 0;
        memchk_enable = 0;
        rescue_enable = 0;
        standalone_diags = 0;
        sig_quit_raised = 0;
    }
    static std::optional<Bytes> tarball() { return read_file("/tmp/kaviximage.tar.gz"); }
};

}  // namespace mp_test
