"""Booting (no terminal): the VPD's slot, else the other, else the rescue image, else a reboot."""

import os
import shutil
from pathlib import Path

import pytest

from conftest import DIAGS_LINES, MOUNT_LINE, RESET_LINE, boot_log, interleaves, pristine_vpd, signed, vm
from mppackage import BOOT, DIAGS, EXTENDED, KERNEL, app_line, application, damaged, record
from test_signed_packages import resealed

B1, B2, K = "Booting image '1'\n", "Booting image '2'\n", "keep"
NO_1 = "Failed to open Application image 1. Trying image 2.\n"
NO_2 = "Failed to open Application image 2. Trying rescue image\n"
CRC_1, BOTH = "Image1 CRC failed, trying Image2 now.\n", "Both image1 and image2 failed.\n"
INVALID = "Image has invalid header 0x{:x}. (0x6504f4c)\nImage1 has invalid header... trying Image2.\n"
DIAGS_OUT = "Launching diagnostics image\ninstall diags image\n" + app_line("4.4.4.4", "diagnostics") + "\n"
APP = {n: app_line(f"{n}.{n}.{n}.{n}") + "\nargs=[] LD_PRELOAD=[]\n" for n in (1, 2, 3)}
RELEASE = (record(BOOT, b"\x5a" * 512, "2.0.0.1", bad_crc=True) +
           record(KERNEL | EXTENDED, b"K" * 1000, "5.10.0.3", hdrlen=32) + application("3.3.3.3"))
BAD_1 = damaged(application("1.1.1.1"))
# Slot 1's application on a virtual-machine board also shows the descriptors it holds of a flash partition or
# an I2C adapter: none (the launcher closes the adapters; the partitions are close-on-exec).
HOLDS_NONE = application("1.1.1.1", f'echo "{app_line("1.1.1.1")}"\necho "args=[$*] LD_PRELOAD=[${{LD_PRELOAD:-}}]"\n'
                         'ls -l /proc/$$/fd | grep -e /dev/i2c -e /dev/mtd | sed "s/^/holds: /"\n')


# VPD slot byte; slot 1, slot 2, rescue partition; standard error; standard output; the booted-slot
# byte the boot leaves (4: the rescue partition; None: the board reboots). Slot 1, the CRC fallback
# and the rescue image from flash run on a virtual-machine board too.
BOOTS = [
    (1, K, K, K, "", B1 + APP[1], 1),
    (2, K, K, K, "", B2 + APP[2], 2),
    (255, K, K, K, "", B1 + APP[1], 1),
    (1, RELEASE, K, K, "", B1 + APP[3], 1),
    (1, BAD_1, K, K, CRC_1, B1 + B2 + APP[2], 2),
    (1, None, K, K, NO_1, B1 + APP[2], 1),  # the attempt still belongs to slot 1
    (1, None, None, K, NO_1 + NO_2, B1 + DIAGS_OUT, 4),
    (1, BAD_1, record(KERNEL, b"k" * 64), K,
     CRC_1 + "No valid application image found. Trying rescue image\n", B1 + B2 + DIAGS_OUT, 4),
    (1, damaged(application("1.0.0.0"), at=20), damaged(application("2.0.0.0"), at=20), K,
     CRC_1 + BOTH, B1 + B2, None),
    (1, b"short", damaged(application("2.2.2.2")), K, INVALID.format(0) + BOTH, B1 + B2, None),
    (1, None, None, record(DIAGS, b"diagnostics", bad_crc=True), NO_1 + NO_2 + "Image CRC failed. Quitting\n",
     B1, None),
]


@pytest.mark.parametrize("board, image, slot1, slot2, rescue, err, out, booted",
                         [("jail", *case) for case in BOOTS] +
                         [pytest.param("vm", *case, marks=vm)
                          for case in ((1, HOLDS_NONE, *BOOTS[0][2:]), BOOTS[4], BOOTS[6])],
                         indirect=["board"])
def test_boot(board, image, slot1, slot2, rescue, err, out, booted):
    board.mpboard("vpd", f"1={image}")
    for n, data in ((1, slot1), (2, slot2)):
        if data is not K:
            board.slot(n, data)
    if rescue is not K:
        board.flash("rescue", rescue)
    assert interleaves(board.run(), out, err) if board.kind == "vm" else board.run() == (0, out, err)
    assert board.vpd() == pristine_vpd(image, booted or 0xFF)
    if board.kind == "vm":  # its board log and /tmp are the machine's own
        return
    log = board.log(launcher=True)
    if booted is None:
        assert board.log()[-1].startswith("reboot") and log[-1] == RESET_LINE
        assert slot1 is None or log == [MOUNT_LINE, RESET_LINE]
    else:
        assert log == boot_log(booted, *DIAGS_LINES * (booted == 4))
        assert board.log()[-1] == "backtrace: /tmp/home/bin/mp.elf.strip"
    # Deleted once unpacked; made before the rescue record's check, it stays empty when that fails.
    assert (board.path / "tmp/kaviximage.tar.gz").read_bytes() == b"" if booted is None else \
        not (board.path / "tmp/kaviximage.tar.gz").exists()


# A board as it leaves the factory: the U-Boot environment erased (0xFF: no variable, the plain
# boot), the VPD erased (slot byte 0xFF: slot 1), /user empty (no slot: the rescue image), or all
# three. It boots; an installation makes /user/images, writes the slot and names it; the next boot
# starts it. The environment is never written.
@pytest.mark.parametrize("erased", ["env", "vpd", "user", "env vpd user"])
def test_fresh_board(board, erased):
    env = board.path / "dev/mtd-ubootenv"
    if "env" in erased:
        env.write_bytes(b"\xff" * env.stat().st_size)
    if "vpd" in erased:
        (board.path / "var/vpd.bin").write_bytes(b"\xff" * 256)
    if "user" in erased:
        shutil.rmtree(board.path / "user")
        (board.path / "user").mkdir()
    empty, image, before = "user" in erased, 0xFF if "vpd" in erased else 1, env.read_bytes()
    assert board.run() == (0, B1 + (DIAGS_OUT if empty else APP[1]), NO_1 + NO_2 if empty else "")
    assert board.vpd() == pristine_vpd(image, 4 if empty else 1)
    assert "Image2 updated succeeded" in board.mpboard("install", board.write_file("p", application("3.3.3.3")),
                                                       "--slot", "2")
    assert (board.slot_file(1), board.slot_file(2)) == (None if empty else application("1.1.1.1"), application("3.3.3.3"))
    assert board.run() == (0, B2 + APP[3], "")
    assert board.vpd() == pristine_vpd(2, 2) and env.read_bytes() == before


# "verify" (None: not set), the board's keys, slots 1 and 2 ("-": unsigned, "d": damaged, a key: signed by
# it, "t": signed by "rel", then a payload byte changed and the CRC made good): a slot that no key verifies is
# passed over like one without a bootable record, the rescue image last, never a reboot loop.
NOT_VERIFIED = "Image{} signature not verified, passing it over.\n"
@pytest.mark.parametrize("verify, board_keys, slots, err, out, booted", [
    (None, ["rel"], "--", "", B1 + APP[1], 1),
    ("off", ["rel"], "-d", "", B1 + APP[1], 1),
    ("on", ["rel"], ["-", "rel"], NOT_VERIFIED.format(1), B1 + B2 + APP[2], 2),
    ("on", ["rel"], ["other", "t"], NOT_VERIFIED.format(1) + NOT_VERIFIED.format(2), B1 + B2 + DIAGS_OUT, 4),
    ("on", [], ["rel", "rel"], NOT_VERIFIED.format(1) + NOT_VERIFIED.format(2), B1 + B2 + DIAGS_OUT, 4),
    ("on", ["rel"], "-d", NOT_VERIFIED.format(1) + BOTH, B1 + B2 + DIAGS_OUT, 4),
])
def test_verified_boot(board, keys, verify, board_keys, slots, err, out, booted):
    board.mpboard("env", *[f"verify={verify}"] * bool(verify))
    for key in board_keys:
        board.mpboard("keys", "add", keys / f"{key}.pub")
    for n, kind in zip("12", slots):
        app = application(".".join(n * 4))
        data = {"-": app, "d": damaged(app)}.get(kind) or signed(keys, app, "rel" if kind == "t" else kind)
        board.slot(n, resealed(data[:len(app)], 100) + data[len(app):] if kind == "t" else data)
    assert board.run() == (0, out, err)
    assert board.vpd() == pristine_vpd(1, booted)


# Boot attempts: "bootlimit" (None: no key); slots 1 and 2 ("x" exits at once, "c" confirms, "d"
# damaged); what each boot in a row started ("R": the rescue partition); the counts left (None: no
# state file). Then slot 1 installed anew starts with no attempts.
PASSED = "Image{} not confirmed after {} boots, passing it over.\n"
SLOTS = {"c": lambda v: application(v, f'echo "{app_line(v)}"\n/usr/bin/mplaunch-confirm\n'),
         "d": lambda v: damaged(application(v)), "x": application}
@pytest.mark.parametrize("limit, slots, boots, counts", [
    ("2", "xc", "1122", (2, 0)),
    ("3", "cx", "11111", (0, 0)),
    ("2", "xx", "1122RR", (2, 2)),
    ("1", "xd", "1RR", (1, 0)),  # slot 2's bad CRC after slot 1 passed over: the rescue image
    ("255", "xx", "111", (3, 0)),
    *[(bad, "xx", "1111", None) for bad in ("0", "256", "2x", "-2", " 2", None)],
])
def test_boot_attempts(board, limit, slots, boots, counts):
    board.mpboard("env", f"bootlimit={limit or ''}")
    for n, kind in zip("12", slots):
        board.slot(n, SLOTS[kind](".".join(n * 4)))
    for i, booted in enumerate(boots):
        passed = [n for n in "12" if n in boots[:i] and n not in boots[i:]]
        started = DIAGS_OUT if booted == "R" else app_line(".".join(booted * 4)) + "\n" + \
            ("" if slots[int(booted) - 1] == "c" else "args=[] LD_PRELOAD=[]\n")
        err = "".join(PASSED.format(n, limit) for n in passed) + BOTH * (booted == "R" and "d" in slots)
        assert board.run() == (0, B1 + B2 * bool(passed) + started, err)
        assert board.vpd()[59] == (4 if booted == "R" else int(booted))
    state = board.path / "user/images/bootcount"
    assert (state.read_text() if state.exists() else None) == (counts and "image1 {}\nimage2 {}\n".format(*counts))
    board.mpboard("install", board.write_file("p", application("3.3.3.3")), "--slot", "1")
    assert board.run() == (0, B1 + APP[3], "")


# The launcher's link test of eth0 (its mgmt module, in a probe the application starts) through
# the kernel's driver, before and after `mpboard link` pulls the machine's cable. IFF_RUNNING
# follows the card's link once the kernel has set the operational state (up to a second later).
@vm
def test_link_test_follows_the_cable(new_board):
    board = new_board(kind="vm")
    probe = Path(os.environ.get("MP_LINK_PROBE", "link-probe-not-built")).read_bytes()
    board.slot(1, application("1.1.1.1", "ifconfig eth0 up\nuntil grep -q up /sys/class/net/eth0/operstate; do "
                              "sleep 1; done\nexec /tmp/home/bin/probe\n", {"home/bin/probe": probe}))
    console = board.console()
    console.expect_exact("link 1")
    board.mpboard("link", "down")  # plugged again, the card would first negotiate for 0.5 s
    console.send("\r")
    console.expect_exact("link 0")
    console.sendeof()
    assert console.finish()[0] == 0
