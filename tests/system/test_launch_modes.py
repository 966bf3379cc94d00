"""Launch modes: debuggers, memory checker, the operator's shell, the management port's
questions."""

import gzip, pytest  # noqa: E401
from typing import NamedTuple

from conftest import DIAGS_LINES, MOUNT_LINE, RESET_LINE, UNPACK_LINE, signed
from mppackage import APPLICATION, BOOT, app_line, application, damaged, diagnostics, record

APP, DUMA, B1 = "/tmp/home/bin/mp.elf.strip", "LD_PRELOAD=libduma.so.0.0.0", "Booting image '1'\n"
RUNS, VPD1 = app_line("1.1.1.1") + "\nargs=[] LD_PRELOAD=[]\n", "vpd-write: offset 59 value 0x01"
DUMA_RUNS, DHCP = RUNS.replace(
    "[]\n", "[libduma.so.0.0.0]\n"), "Confirm: Use DHCP for network configuration? y/N: y\n\n"
NO_GDB = ("Extracting GDB from image slot 2\n"
          "**** GDB mode selected but GDB not available. Please install GDB image ***\n")
GDB_RUNS = [
    VPD1, "system: gunzip /tmp/gdb.gz", "system: chmod +x /tmp/gdb", UNPACK_LINE,
    f"system: /tmp/gdb {APP}", RESET_LINE
]
STARTED = [VPD1, UNPACK_LINE]
ENDS, SH, DUMA_APP = [*STARTED,
                      "exec: /bin/backtrace"], r"system: /bin/sh\n", f"system: {DUMA} {APP}\\n"
DHCP_GDBSERVER = [
    "system: dhclient -1 eth1", *STARTED, f"system: /bin/gdbserver :1234 {APP}\\n", RESET_LINE
]
DUMA_GDB = [*STARTED, f"system: {DUMA} /bin/gdbserver :4321 {APP}\\n", RESET_LINE]
DUMA_DIAGS = [*STARTED, *DIAGS_LINES, DUMA_APP, RESET_LINE]
BOOT_FIRST, DIAGS = record(BOOT, b"b" * 300) + application("2.2.2.2"), diagnostics("6.6.6.6")
GDB_DAMAGED, GDB_UNSIGNED = (f"GDB image 2 {why}, not using it.\n"
                             for why in ("CRC failed", "signature not verified"))
HEADER, TOUCH = "Image has invalid header 0x2504f4c\n", "touch /user/operator-was-here\n"
DIAGS_RUNS = B1 + "install diags image\n" + app_line("6.6.6.6", "diagnostics") + "\n"
SHELL = "echo op-$((6 * 7)); test -x /tmp/home/bin/mp.elf.strip && echo unpacked\n"
SHELL_OUT = B1 + "Dropping into shell\nop-42\nunpacked\nDropping out of shell\n" + RUNS
BAD = {n: damaged(application(".".join(str(n) * 4))) for n in (1, 2)}
B1_B2 = B1 + "Booting image '2'\n"
BOTH_BAD = "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n"
NO_DHCP = DHCP[:-3] + "n\n\nIP addr    :q\n" + B1 + DUMA_RUNS  # no, then quit: no network


class Mode(NamedTuple):  # a row names what differs from a plain boot of slot 1
    name: str
    settings: str
    slots: dict | str = {}  # a str: slot 2 holds gdb first, as named
    stdin: str = ""
    out: str | None = B1 + RUNS  # None: as the debugger's slot says
    err: str = ""
    commands: list = ENDS  # after the mount
    history: str = "normal"  # the boot history's mode, and the debugger's slot and verdict


MODES = [
    Mode("gdbserver", "gdbserver=on", stdin="y\n", out=DHCP + B1 + RUNS, commands=DHCP_GDBSERVER,
         history="gdbserver"),
    Mode("duma-port", "gdbserver=on gdbport=4321 memchk=on", {}, "n\nq\n", NO_DHCP, "", DUMA_GDB,
         "gdbserver-memchk"),
    Mode("duma", "memchk=on", out=B1 + DUMA_RUNS, commands=[*STARTED, DUMA_APP, RESET_LINE],
         history="memchk"),
    Mode("duma-diagnostics", "memchk=on", {1: DIAGS}, out=DIAGS_RUNS, commands=DUMA_DIAGS,
         history="memchk"),
    Mode("gdb-missing", "gdb=on memchk=on", {2: BOOT_FIRST}, out=B1 + NO_GDB + RUNS, err=HEADER,
         history="gdb-missing slot2:no-record"),
    Mode("gdb", "gdb=on", "gdb", out=None, commands=GDB_RUNS, history="gdb slot2:used"),
    Mode("gdb-signed", "gdb=on verify=on", "gdb signed", out=None, commands=GDB_RUNS,
         history="gdb slot2:used"),
    # Refused before anything of it is written: the debugger-missing mode, the application as ever.
    Mode("gdb-damaged", "gdb=on", "gdb damaged", out=None, err=GDB_DAMAGED,
         history="gdb-missing slot2:crc"),
    Mode("gdb-unsigned", "gdb=on verify=on", "gdb unsigned", out=None, err=GDB_UNSIGNED,
         history="gdb-missing slot2:signature"),
    Mode("shell", "shell=on", stdin=SHELL, out=SHELL_OUT, commands=[*STARTED, SH, ENDS[-1]]),
    Mode("shell-both-damaged", "shell=on", BAD, TOUCH, B1_B2, BOTH_BAD, [SH, RESET_LINE], "None"),
]


@pytest.mark.parametrize("case", MODES, ids=lambda case: case.name)
def test_start_mode(board, keys, case):
    _, settings, slots, stdin, out, err, commands, history = case
    if isinstance(
            slots,
            str):  # with verify=on slot 1 signed by the board's key, slot 2's debugger as named
        gdb = record(APPLICATION, gzip.compress((board.path / "usr/lib/mpboard/gdb").read_bytes()))
        gdb = damaged(gdb) if "damaged" in slots else gdb
        slots, runs = {2: gdb + application("2.2.2.2")}, err == ""
        out = (
            B1 +
            f"Extracting GDB from image slot 2\nFound GDB image 2 of length = {len(gdb) - 16}.\n" +
            ("decompressing GDB....\n*** Launching under GDB ***\n"
             if runs else NO_GDB.split("\n")[1] + "\n") + RUNS)
        if "verify=on" in settings:
            board.mpboard("keys", "add", keys / "rel.pub")
            slots = {
                1: signed(keys, application("1.1.1.1"))[:-92],
                2: signed(keys, slots[2]) if runs else slots[2]
            }
    for n, data in slots.items():
        board.slot(n, data)
    board.mpboard("env", *settings.split())
    assert board.run(stdin.encode()) == (0, out, err)
    assert board.log(launcher=True) == [MOUNT_LINE, *commands]
    boot = board.status()["boot_history"]["entries"][-1]
    assert " ".join([str(boot["mode"])] +
                    [f"{d['slot']}:{d['verdict']}" for d in [boot["debugger"]] if d]) == history
    assert (board.path / "user/operator-was-here").exists() == ("touch" in stdin)
