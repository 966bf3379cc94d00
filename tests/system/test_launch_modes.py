"""Launch modes: the boot settings in the U-Boot environment choose how the application starts;
the board's stand-ins show the command lines they were given."""

import gzip

import pytest

from conftest import (DIAGS_LINES, MOUNT_LINE, RESET_LINE, UNPACK_LINE, VPD_BOOTED, app_line,
                      application, diag_line, diagnostics, record, APPLICATION, BOOT)

APP = "/tmp/home/bin/mp.elf.strip"
DUMA = "LD_PRELOAD=libduma.so.0.0.0"


def debugger_record(board):
    """The debugger as the other slot carries it: a gzip'ed program as the payload of its first
    record. The board's own debugger stand-in records its arguments, then runs the program."""
    program = (board.path / "usr/lib/mpboard/gdb").read_bytes()
    return record(APPLICATION, gzip.compress(program), "9.9.9.9")


@pytest.mark.parametrize("settings, command", [
    (["gdbserver=on"], f"/bin/gdbserver :1234 {APP}\\n"),
    (["gdbserver=on", "gdbport=4321", "memchk=on"], f"{DUMA} /bin/gdbserver :4321 {APP}\\n"),
])
def test_remote_debugger(test_board, settings, command):
    test_board.env(*settings)
    console = test_board.console()
    # The management port first: the board has a dhclient, so DHCP is offered and taken.
    console.prompt("Confirm: Use DHCP for network configuration? y/N: ")
    console.answer("y\r")
    console.line("Booting image '1'")
    console.line(app_line("1.1.1.1"))
    assert console.finish()[0] == 0
    log = test_board.launcher_log()
    assert log == [MOUNT_LINE, "system: dhclient -1 eth1", "vpd-write: offset 59 value 0x01",
                   UNPACK_LINE, "system: " + command, RESET_LINE], log
    stand_in = [line for line in test_board.log() if line.startswith("gdbserver")]
    assert len(stand_in) == 1 and APP in stand_in[0], test_board.log()
    assert ("libduma" in stand_in[0]) == ("memchk=on" in settings)


def test_local_debugger_from_other_slot(test_board):
    debugger = debugger_record(test_board)
    test_board.slot(2, debugger + application("2.2.2.2"))
    test_board.env("gdb=on")
    assert test_board.run() == (0, "Booting image '1'\n"
                                "Extracting GDB from image slot 2\n"
                                f"Found GDB image 2 of length = {len(debugger) - 16}.\n"
                                "decompressing GDB....\n"
                                "*** Launching under GDB ***\n"
                                + app_line("1.1.1.1") + "\nargs=[] LD_PRELOAD=[]\n", "")
    assert test_board.launcher_log() == [
        MOUNT_LINE, "vpd-write: offset 59 value 0x01", "system: gunzip /tmp/gdb.gz",
        "system: chmod +x /tmp/gdb", UNPACK_LINE, f"system: /tmp/gdb {APP}", RESET_LINE]
    stand_in = [line for line in test_board.log() if line.startswith("gdb:")]
    assert len(stand_in) == 1 and stand_in[0].startswith(f"gdb: {APP} "), test_board.log()
    assert "libduma" not in stand_in[0]


def test_debugger_missing_falls_back_to_ordinary_start(test_board):
    # The other slot starts with a boot-loader record: no debugger, and memchk is not looked at.
    test_board.slot(2, record(BOOT, b"b" * 300) + application("2.2.2.2"))
    test_board.env("gdb=on", "memchk=on")
    assert test_board.run() == (
        0, "Booting image '1'\nExtracting GDB from image slot 2\n"
        "**** GDB mode selected but GDB not available. Please install GDB image ***\n"
        + app_line("1.1.1.1") + "\nargs=[] LD_PRELOAD=[]\n", "Image has invalid header 0x2504f4c\n")
    assert test_board.launcher_log()[-1] == "exec: /bin/backtrace"


@pytest.mark.parametrize("package, out, started", [
    (None, app_line("1.1.1.1") + "\nargs=[] LD_PRELOAD=[libduma.so.0.0.0]\n", []),
    (diagnostics("6.6.6.6"), "install diags image\n" + diag_line("6.6.6.6") + "\n", DIAGS_LINES),
], ids=["application", "diagnostics-in-slot"])
def test_memory_checker(test_board, package, out, started):
    if package:
        test_board.slot(1, package)
    test_board.env("memchk=on")
    assert test_board.run() == (0, "Booting image '1'\n" + out, "")
    assert test_board.vpd()[VPD_BOOTED] == 1
    assert test_board.launcher_log() == [MOUNT_LINE, "vpd-write: offset 59 value 0x01",
                                         UNPACK_LINE, *started, f"system: {DUMA} {APP}\\n",
                                         RESET_LINE]
