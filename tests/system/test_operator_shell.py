"""The operator's shell: with shell=on the board's own sh is on the console before the start, and
leaving it goes on with the boot; on a board that cannot boot it comes before the reboot."""

from conftest import MOUNT_LINE, RESET_LINE, UNPACK_LINE, app_line, damaged, application


def test_shell_before_the_start_then_boot_goes_on(test_board):
    test_board.env("shell=on")
    console = test_board.console()
    console.line("Booting image '1'")
    console.line("Dropping into shell")
    # A real interactive shell on the board's console: it runs what is typed, in the board.
    console.enter("echo operator-$((6 * 7)); test -x /tmp/home/bin/mp.elf.strip && echo unpacked")
    console.line("operator-42")
    console.line("unpacked")
    console.enter("exit")
    console.line("Dropping out of shell")
    console.line(app_line("1.1.1.1"))
    assert console.finish()[0] == 0
    assert test_board.launcher_log() == [MOUNT_LINE, "vpd-write: offset 59 value 0x01",
                                         UNPACK_LINE, r"system: /bin/sh\n",
                                         "exec: /bin/backtrace"]


def test_shell_before_reboot_when_nothing_boots(test_board):
    test_board.env("shell=on")
    test_board.slot(1, damaged(application("1.1.1.1")))
    test_board.slot(2, damaged(application("2.2.2.2")))
    console = test_board.console()
    console.line("Both image1 and image2 failed.")
    console.enter("touch /user/operator-was-here")
    console.enter("exit")
    assert console.finish()[0] == 0
    assert (test_board.path / "user/operator-was-here").exists()
    assert test_board.launcher_log() == [MOUNT_LINE, r"system: /bin/sh\n", RESET_LINE]
