"""Launch modes: the boot settings in the U-Boot environment choose how the application starts
(debuggers, memory checker, the operator's shell); the board's stand-ins show the command lines
they were given."""

import gzip

import pytest

from conftest import DIAGS_LINES, MOUNT_LINE, RESET_LINE, UNPACK_LINE, boot_log
from mppackage import APPLICATION, BOOT, app_line, application, damaged, diag_line, diagnostics, record

APP = "/tmp/home/bin/mp.elf.strip"
DUMA = "LD_PRELOAD=libduma.so.0.0.0"
B1 = "Booting image '1'\n"
RUNS = app_line("1.1.1.1") + "\nargs=[] LD_PRELOAD=[]\n"
VPD1 = "vpd-write: offset 59 value 0x01"


@pytest.mark.parametrize("settings, command", [
    (["gdbserver=on"], f"/bin/gdbserver :1234 {APP}\\n"),
    (["gdbserver=on", "gdbport=4321", "memchk=on"], f"{DUMA} /bin/gdbserver :4321 {APP}\\n"),
])
def test_remote_debugger(board, settings, command):
    board.env(*settings)
    console = board.console()
    # The management port first: the board has a dhclient, so DHCP is offered and taken.
    console.prompt("Confirm: Use DHCP for network configuration? y/N: ")
    console.answer("y\r")
    console.line("Booting image '1'", app_line("1.1.1.1"))
    assert console.finish()[0] == 0
    assert board.launcher_log() == [MOUNT_LINE, "system: dhclient -1 eth1", VPD1, UNPACK_LINE,
                                    "system: " + command, RESET_LINE]
    [stand_in] = [line for line in board.log() if line.startswith("gdbserver")]
    assert APP in stand_in and ("libduma" in stand_in) == ("memchk=on" in settings)


# Settings, slot 1 (None: as it is); standard output, standard error, the launcher's commands
# after its slot-byte write.
@pytest.mark.parametrize("settings, slot1, out, err, commands", [
    (["memchk=on"], None, B1 + RUNS.replace("[]\n", "[libduma.so.0.0.0]\n"), "",
     [UNPACK_LINE, f"system: {DUMA} {APP}\\n", RESET_LINE]),
    (["memchk=on"], diagnostics("6.6.6.6"), B1 + "install diags image\n" + diag_line("6.6.6.6")
     + "\n", "", [UNPACK_LINE, *DIAGS_LINES, f"system: {DUMA} {APP}\\n", RESET_LINE]),
    # The other slot starts with a boot-loader record: no debugger, and memchk is not looked at.
    (["gdb=on", "memchk=on"], "no-gdb", B1 + "Extracting GDB from image slot 2\n**** GDB mode "
     "selected but GDB not available. Please install GDB image ***\n" + RUNS,
     "Image has invalid header 0x2504f4c\n", [UNPACK_LINE, "exec: /bin/backtrace"]),
], ids=["memchk", "memchk-diags", "gdb-missing"])
def test_start_mode(board, settings, slot1, out, err, commands):
    if slot1 == "no-gdb":
        board.slot(2, record(BOOT, b"b" * 300) + application("2.2.2.2"))
    elif slot1:
        board.slot(1, slot1)
    board.env(*settings)
    assert board.run() == (0, out, err)
    assert board.launcher_log() == [MOUNT_LINE, VPD1, *commands]


def test_local_debugger_from_other_slot(board):
    # The debugger as the other slot carries it: a gzip'ed program, the payload of its first
    # record. The board's own stand-in records its arguments, then runs the program.
    debugger = record(APPLICATION, gzip.compress((board.path / "usr/lib/mpboard/gdb").read_bytes()),
                      "9.9.9.9")
    board.slot(2, debugger + application("2.2.2.2"))
    board.env("gdb=on")
    assert board.run() == (0, B1 + "Extracting GDB from image slot 2\nFound GDB image 2 of length "
                           f"= {len(debugger) - 16}.\ndecompressing GDB....\n*** Launching under "
                           "GDB ***\n" + RUNS, "")
    assert board.launcher_log() == [
        MOUNT_LINE, VPD1, "system: gunzip /tmp/gdb.gz", "system: chmod +x /tmp/gdb", UNPACK_LINE,
        f"system: /tmp/gdb {APP}", RESET_LINE]
    [stand_in] = [line for line in board.log() if line.startswith("gdb:")]
    assert stand_in.startswith(f"gdb: {APP} ") and "libduma" not in stand_in


def test_shell_before_the_start_then_boot_goes_on(board):
    board.env("shell=on")
    console = board.console()
    console.line("Booting image '1'", "Dropping into shell")
    # A real interactive shell on the board's console: it runs what is typed, in the board.
    console.enter("echo operator-$((6 * 7)); test -x /tmp/home/bin/mp.elf.strip && echo unpacked")
    console.line("operator-42", "unpacked")
    console.enter("exit")
    console.line("Dropping out of shell", app_line("1.1.1.1"))
    assert console.finish()[0] == 0
    assert board.launcher_log() == boot_log(1, r"system: /bin/sh\n")


def test_shell_before_reboot_when_nothing_boots(board):
    board.env("shell=on")
    board.slot(1, damaged(application("1.1.1.1")))
    board.slot(2, damaged(application("2.2.2.2")))
    console = board.console()
    console.line("Both image1 and image2 failed.")
    console.enter("touch /user/operator-was-here")
    console.enter("exit")
    assert console.finish()[0] == 0
    assert (board.path / "user/operator-was-here").exists()
    assert board.launcher_log() == [MOUNT_LINE, r"system: /bin/sh\n", RESET_LINE]
