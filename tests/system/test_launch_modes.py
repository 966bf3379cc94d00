"""Launch modes: debuggers, memory checker, the operator's shell, the management port's questions."""

import gzip, pytest  # noqa: E401

from conftest import DIAGS_LINES, MOUNT_LINE, RESET_LINE, UNPACK_LINE, signed
from mppackage import APPLICATION, BOOT, app_line, application, damaged, diagnostics, record

APP, DUMA, B1 = "/tmp/home/bin/mp.elf.strip", "LD_PRELOAD=libduma.so.0.0.0", "Booting image '1'\n"
RUNS, VPD1 = app_line("1.1.1.1") + "\nargs=[] LD_PRELOAD=[]\n", "vpd-write: offset 59 value 0x01"
DUMA_RUNS, DHCP = RUNS.replace("[]\n", "[libduma.so.0.0.0]\n"), "Confirm: Use DHCP for network configuration? y/N: y\n\n"
NO_GDB = "Extracting GDB from image slot 2\n**** GDB mode selected but GDB not available. Please install GDB image ***\n"
GDB_RUNS = [VPD1, "system: gunzip /tmp/gdb.gz", "system: chmod +x /tmp/gdb", UNPACK_LINE, f"system: /tmp/gdb {APP}", RESET_LINE]
STARTED = [VPD1, UNPACK_LINE]


# Settings, slots, input; stdout, stderr, commands after the mount ("gdb": slot 2 holds gdb first).
@pytest.mark.parametrize("settings, slots, stdin, out, err, commands", [
    (["gdbserver=on"], {}, "y\n", DHCP + B1 + RUNS, "",
     ["system: dhclient -1 eth1", *STARTED, f"system: /bin/gdbserver :1234 {APP}\\n", RESET_LINE]),
    (["gdbserver=on", "gdbport=4321", "memchk=on"], {}, "n\nq\n", DHCP[:-3] + "n\n\nIP addr    :q\n" + B1 + DUMA_RUNS,
     "", [*STARTED, f"system: {DUMA} /bin/gdbserver :4321 {APP}\\n", RESET_LINE]),  # no, then quit: no network
    (["memchk=on"], {}, "", B1 + DUMA_RUNS, "", [*STARTED, f"system: {DUMA} {APP}\\n", RESET_LINE]),
    (["memchk=on"], {1: diagnostics("6.6.6.6")}, "", B1 + "install diags image\n" +
     app_line("6.6.6.6", "diagnostics") + "\n", "", [*STARTED, *DIAGS_LINES, f"system: {DUMA} {APP}\\n", RESET_LINE]),
    (["gdb=on", "memchk=on"], {2: record(BOOT, b"b" * 300) + application("2.2.2.2")}, "", B1 + NO_GDB + RUNS,
     "Image has invalid header 0x2504f4c\n", [*STARTED, "exec: /bin/backtrace"]),
    (["gdb=on"], "gdb", "", None, "", GDB_RUNS),
    (["gdb=on", "verify=on"], "gdb signed", "", None, "", GDB_RUNS),
    # Refused before anything of it is written: the debugger-missing mode, the application as ever.
    (["gdb=on"], "gdb damaged", "", None, "GDB image 2 CRC failed, not using it.\n", [*STARTED, "exec: /bin/backtrace"]),
    (["gdb=on", "verify=on"], "gdb unsigned", "", None, "GDB image 2 signature not verified, not using it.\n",
     [*STARTED, "exec: /bin/backtrace"]),
    (["shell=on"], {}, "echo op-$((6 * 7)); test -x /tmp/home/bin/mp.elf.strip && echo unpacked\n",
     B1 + "Dropping into shell\nop-42\nunpacked\nDropping out of shell\n" + RUNS, "",
     [*STARTED, r"system: /bin/sh\n", "exec: /bin/backtrace"]),
    (["shell=on"], {1: damaged(application("1.1.1.1")), 2: damaged(application("2.2.2.2"))},
     "touch /user/operator-was-here\n", B1 + "Booting image '2'\n",
     "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n", [r"system: /bin/sh\n", RESET_LINE]),
])
def test_start_mode(board, keys, settings, slots, stdin, out, err, commands):
    if isinstance(slots, str):  # with verify=on slot 1 signed by the board's key, slot 2's debugger as named
        gdb = record(APPLICATION, gzip.compress((board.path / "usr/lib/mpboard/gdb").read_bytes()))
        gdb = damaged(gdb) if "damaged" in slots else gdb
        slots, runs = {2: gdb + application("2.2.2.2")}, err == ""
        out = (B1 + f"Extracting GDB from image slot 2\nFound GDB image 2 of length = {len(gdb) - 16}.\n" +
               ("decompressing GDB....\n*** Launching under GDB ***\n" if runs else NO_GDB.split("\n")[1] + "\n") + RUNS)
        if "verify=on" in settings:
            board.mpboard("keys", "add", keys / "rel.pub")
            slots = {1: signed(keys, application("1.1.1.1"))[:-92], 2: signed(keys, slots[2]) if runs else slots[2]}
    for n, data in slots.items():
        board.slot(n, data)
    board.mpboard("env", *settings)
    assert board.run(stdin.encode()) == (0, out, err)
    assert board.log(launcher=True) == [MOUNT_LINE, *commands]
    assert (board.path / "user/operator-was-here").exists() == ("touch" in stdin)
