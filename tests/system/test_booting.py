"""Booting (no terminal): the VPD's slot, else the other, else the rescue image, else a reboot."""

import json
import os
import shutil
import signal
import subprocess
from pathlib import Path
from typing import NamedTuple

import pexpect
import pytest

from conftest import (DIAGS_LINES, MOUNT_LINE, RESET_LINE, boot_log, interleaves, pristine_vpd,
                      signed, vm, VM_KINDS)
from mppackage import (BOOT, DIAGS, EXTENDED, KERNEL, app_line, application, damaged, diagnostics,
                       record)
from test_signed_packages import resealed

B1, B2 = "Booting image '1'\n", "Booting image '2'\n"
B12 = B1 + B2
NO_1 = "Failed to open Application image 1. Trying image 2.\n"
NO_2 = "Failed to open Application image 2. Trying rescue image\n"
NO_12 = NO_1 + NO_2
CRC_1, BOTH = "Image1 CRC failed, trying Image2 now.\n", "Both image1 and image2 failed.\n"
INVALID = "Image has invalid header 0x0. (0x6504f4c)\nImage1 has invalid header... trying Image2.\n"
NO_APP = "No valid application image found. Trying rescue image\n"
RESCUE_CRC = NO_12 + "Image CRC failed. Quitting\n"
DIAGS_OUT = "Launching diagnostics image\ninstall diags image\n" + app_line(
    "4.4.4.4", "diagnostics") + "\n"
APP = {n: app_line(f"{n}.{n}.{n}.{n}") + "\nargs=[] LD_PRELOAD=[]\n" for n in (1, 2, 3)}
RELEASE = (record(BOOT, b"\x5a" * 512, "2.0.0.1", bad_crc=True) +
           record(KERNEL | EXTENDED, b"K" * 1000, "5.10.0.3", hdrlen=32) + application("3.3.3.3"))
HISTORY_DAMAGED = "Boot history /user/boot-history was damaged: it starts anew with this boot.\n"
BAD_1, BAD_2 = damaged(application("1.1.1.1")), damaged(application("2.2.2.2"))
CUT = [damaged(application(v), at=20) for v in ("1.0.0.0", "2.0.0.0")]
KERNEL_ONLY, BAD_RESCUE = record(KERNEL, b"k" * 64), record(DIAGS, b"diagnostics", bad_crc=True)
# Slot 1's application also shows the descriptors it holds of a flash partition or an I2C
# adapter: none (the launcher closes the adapters; the partitions are close-on-exec); and it asks
# the board's own mplaunch-status, whose view must be the one `mpboard status` has afterwards.
# ls's complaints go: the shell closes its pipeline's descriptors while ls reads the list (seen
# as "cannot read link" a few times in a hundred).
HOLDS_NONE = application(
    "1.1.1.1", f'echo "{app_line("1.1.1.1")}"\necho "args=[$*] LD_PRELOAD=[${{LD_PRELOAD:-}}]"\n'
    'ls -l /proc/$$/fd 2>/dev/null | grep -e /dev/i2c -e /dev/mtd | sed "s/^/holds: /"\n'
    'mplaunch-status --json > /user/status.json\n')


class Boot(NamedTuple):  # a row names what differs from a boot of slot 1 on the board as made
    name: str
    image: int = 1  # the VPD's slot byte
    slot1: bytes | None | str = "keep"  # a slot's or the rescue partition's data (None: removed)
    slot2: bytes | None | str = "keep"
    rescue: bytes | str = "keep"
    err: str = ""
    out: str = B1 + APP[1]
    booted: int | None = 1  # the booted-slot byte left (4: the rescue partition; None: a reboot)
    history: str = "slot1:booted -> slot1"  # the boot history's entry (Board.last_boot)
    old_history: bytes | str = b""  # user/boot-history before the boot ("fifo": a FIFO)


BOOTS = [
    Boot("slot-1"),
    Boot("slot-1-asks-its-status", slot1=HOLDS_NONE),
    # A damaged history, or a FIFO in its place (never opened): said once, started anew.
    Boot("history-damaged", err=HISTORY_DAMAGED, old_history=b"mplaunch boot history 1\n9 x\n"),
    Boot("history-fifo", err=HISTORY_DAMAGED, old_history="fifo"),
    Boot("slot-2", image=2, out=B2 + APP[2], booted=2, history="slot2:booted -> slot2"),
    Boot("slot-byte-erased", image=255),
    Boot("release-package", slot1=RELEASE, out=B1 + APP[3]),
    Boot("slot-1-damaged", slot1=BAD_1, err=CRC_1, out=B12 + APP[2], booted=2,
         history="slot1:crc slot2:booted -> slot2"),
    # The attempt still belongs to slot 1.
    Boot("slot-1-gone", slot1=None, err=NO_1, out=B1 + APP[2],
         history="slot1:missing slot2:booted -> slot2"),
    Boot("both-gone", slot1=None, slot2=None, err=NO_12, out=B1 + DIAGS_OUT, booted=4,
         history="slot1:missing slot2:missing diags:booted -> diags"),
    Boot("no-app", slot1=BAD_1, slot2=KERNEL_ONLY, err=CRC_1 + NO_APP, out=B12 + DIAGS_OUT,
         booted=4, history="slot1:crc slot2:no-record diags:booted -> diags"),
    Boot("both-cut", slot1=CUT[0], slot2=CUT[1], err=CRC_1 + BOTH, out=B12, booted=None,
         history="slot1:crc slot2:crc -> none"),
    Boot("short-slot-1", slot1=b"short", slot2=BAD_2, err=INVALID + BOTH, out=B12, booted=None,
         history="slot1:no-record slot2:crc -> none"),
    Boot("bad-rescue", slot1=None, slot2=None, rescue=BAD_RESCUE, err=RESCUE_CRC, out=B1,
         booted=None, history="slot1:missing slot2:missing diags:crc -> none"),
]

# Slot 1, the CRC fallback and the rescue image from flash run on both virtual-machine boards too.
ON_VM = [BOOTS[1], BOOTS[5], BOOTS[7]]


@pytest.mark.parametrize(
    "board, case", [("jail", c) for c in BOOTS] +
    [pytest.param(k.values[0], c, marks=k.marks) for k in VM_KINDS
     for c in ON_VM], indirect=["board"], ids=lambda v: getattr(v, "name", None))
def test_boot(board, case):
    _, image, slot1, slot2, rescue, err, out, booted, history, old_history = case
    if old_history == "fifo":
        os.mkfifo(board.path / "user/boot-history")
    elif old_history:
        (board.path / "user/boot-history").write_bytes(old_history)
    board.mpboard("vpd", f"1={image}")
    for n, data in ((1, slot1), (2, slot2)):
        if data != "keep":
            board.slot(n, data)
    if rescue != "keep":
        board.flash("rescue", rescue)
    assert interleaves(board.run(), out, err) if board.in_vm else board.run() == (0, out, err)
    assert board.vpd() == pristine_vpd(image, booted or 0xFF)
    assert board.last_boot() == history
    assert [e["seq"] for e in board.status()["boot_history"]["entries"]] == [1]
    if slot1 == HOLDS_NONE:  # the board's program and mpboard: one view of the same bytes
        assert json.loads((board.path / "user/status.json").read_text()) == board.status()
        text = board.mpboard("status", "--clock-scale", "0").splitlines()  # and the screen's form
        assert [line.split(";")[0] for line in text[:2]] == \
            [f"Slot {n}: application {v}, CRC good" for n, v in ((1, "1.1.1.1"), (2, "2.2.2.2"))]
    if board.in_vm:  # its board log and /tmp are the machine's own
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
    assert "Image2 updated succeeded" in board.mpboard(
        "install", board.write_file("p", application("3.3.3.3")), "--slot", "2")
    assert (board.slot_file(1), board.slot_file(2)) == (None if empty else application("1.1.1.1"),
                                                        application("3.3.3.3"))
    assert board.run() == (0, B2 + APP[3], "")
    assert board.vpd() == pristine_vpd(2, 2) and env.read_bytes() == before


# Slots 1 and 2 ("-": unsigned, "d": damaged, a key: signed by it, "t": signed by "rel", then a
# payload byte changed and the CRC made good): a slot that no key verifies is passed over like one
# without a bootable record, the rescue image last: its record (a third entry: installed signed by
# that key) must verify too, or the board resets.
NOT_VERIFIED = "Image{} signature not verified, passing it over.\n"
NO_RESCUE = "Rescue image signature not verified, not booting it.\n"
NV1, NONE_VERIFIED = NOT_VERIFIED.format(
    1), NOT_VERIFIED.format(1) + NOT_VERIFIED.format(2) + NO_RESCUE


class Verified(NamedTuple):  # a row names what differs from slot 1 unsigned, slot 2 signed
    name: str
    verify: str | tuple | None = "on"  # the "verify" setting (None: not set; a tuple: variables)
    board_keys: list = ["rel"]
    slots: list | str = ["-", "rel"]
    err: str = NV1
    out: str = B12 + APP[2]
    booted: int = 2


VERIFIED = [
    Verified("not-set", None, slots="--", err="", out=B1 + APP[1], booted=1),
    Verified("off", "off", slots="-d", err="", out=B1 + APP[1], booted=1),
    Verified("slot-1-unsigned"),
    Verified("other-key-tampered", slots=["other", "t"], err=NONE_VERIFIED, out=B12, booted=0xFF),
    Verified("no-board-key", board_keys=[], slots=["rel"] * 3, err=NONE_VERIFIED, out=B12,
             booted=0xFF),
    Verified("to-rescue", slots=["-", "d", "rel"], err=NV1 + BOTH, out=B12 + DIAGS_OUT, booted=4),
    # A setting hidden in another variable or stored past 1280 bytes is read as the boot loader
    # reads it.
    Verified("hidden-in-another", ("noverify=off", "verify=on")),
    Verified("past-1280-bytes", ("x=" + "y" * 1400, "verify=on")),
]


@pytest.mark.parametrize("case", VERIFIED, ids=lambda case: case.name)
def test_verified_boot(board, keys, case):
    _, verify, board_keys, slots, err, out, booted = case
    board.mpboard("env",
                  *(verify if isinstance(verify, tuple) else [f"verify={verify}"] * bool(verify)))
    for key in board_keys:
        board.mpboard("keys", "add", keys / f"{key}.pub")
    if slots[2:]:  # the installer writes the diagnostics record's own signature after it
        board.mpboard("install",
                      board.write_file("r", signed(keys, diagnostics("4.4.4.4"), slots[2])))
    for n, kind in zip("12", slots):
        app = application(".".join(n * 4))
        data = {"-": app, "d": damaged(app)}.get(kind) or signed(keys, app,
                                                                 "rel" if kind == "t" else kind)
        board.slot(n, resealed(data[:len(app)], 100) + data[len(app):] if kind == "t" else data)
    assert board.run() == (0, out, err)
    assert board.vpd() == pristine_vpd(1, booted)


# Boot attempts, boot after boot. A boot of a confirmed slot writes nothing. Then slot 1 installed
# anew (the planted copy's name in the way) is on trial, and an application booted at once confirms
# no slot.
PASSED = "Image{} not confirmed after {} boots, passing it over.\n"
ODD = "/user/images/bootcount is not a regular file: boot attempts counted again from 0.\n"
UNKEPT = "Image{} boot attempts cannot be kept (Directory not empty), booting it anyway.\n"
SLOTS = {
    "c": lambda v: application(v, f'echo "{app_line(v)}"\n/usr/bin/mplaunch-confirm\n'),
    "o": lambda v: application(
        v, f'echo "{app_line(v)}"\n[ -e /user/once ] || /usr/bin/mplaunch-confirm\n'
        "touch /user/once\n"), "d": lambda v: damaged(application(v)), "x": application
}


class Attempts(NamedTuple):
    limit: str | None  # "bootlimit" (None: no key)
    slots: str  # slots 1 and 2: "x" exits at once, as when power is cut before it is up, "c"
    # confirms, "o" confirms in its first boot only, "d" damaged
    boots: str  # what each boot in a row started ("R": the rescue partition)
    counts: str | None  # the state left ("2t0c": slot 1 on trial with 2 attempts, slot 2 confirmed)
    # What is at /user/images first: a bootcount text, or names made a "fifo", a "link" to
    # user/target, an empty "dir" or a "dir+" holding a file.
    planted: dict | str = {}


ATTEMPTS = [
    Attempts("2", "xc", "1122", "2t0c"),
    Attempts("3", "cx", "11111", "0c0t"),
    Attempts("2", "ox", "11111", "0c0t"),  # power cuts once confirmed never pass it over
    Attempts("2", "xx", "1122RR", "2t2t"),
    Attempts("1", "xd", "1RR",
             "1t0t"),  # slot 2's bad CRC after slot 1 passed over: the rescue image
    Attempts("255", "xx", "111", "3t0t"),
    Attempts("2", "xc", "122", "2t0c",
             "image1 1\nimage2 0\n"),  # an earlier launcher's file: both on trial
    Attempts("2", "ox", "111", "0c0c", "image1 1 trial\nimage2 0 confirmed\n"),
    Attempts("1", "xx", "12R", "1t1t", {"bootcount": "fifo", "image1.new": "link"}),
    Attempts("2", "cx", "111", "0c0t",
             {"bootcount": "link", "bootcount.new": "fifo", "image1.new": "dir"}),
    Attempts("2", "xc", "1122", "2t0c",
             {"bootcount": "dir", "bootcount.new": "link", "image1.new": "fifo"}),
    Attempts("1", "xx", "111", None,
             {"bootcount": "dir+", "bootcount.new": "dir"}),  # said at every boot
    *[Attempts(bad, "xx", "1111", None) for bad in ("0", "256", "2x", "-2", " 2", None)],
]


@pytest.mark.parametrize("case", ATTEMPTS,
                         ids=lambda c: "-".join(map(str, c[:4])) + "-planted" * bool(c.planted))
def test_boot_attempts(board, case):
    limit, slots, boots, counts, planted = case
    board.mpboard("env", f"bootlimit={limit or ''}")
    for n, kind in zip("12", slots):
        board.slot(n, SLOTS[kind](".".join(n * 4)))
    images = board.path / "user/images"
    state, target = images / "bootcount", board.path / "user/target"
    target.write_text("target\n")
    for name, kind in ({"bootcount": planted} if isinstance(planted, str) else planted).items():
        {
            "fifo": os.mkfifo, "link": lambda p: p.symlink_to("../target"), "dir": os.mkdir,
            "dir+": lambda p: (p / "file").mkdir(parents=True)
        }.get(kind, lambda p: p.write_text(kind))(images / name)
    odd = isinstance(planted, dict) and planted.get("bootcount") in ("fifo", "link", "dir", "dir+")
    stuck = odd and planted["bootcount"] == "dir+"  # cannot be replaced: said at every boot
    for i, booted in enumerate(boots):
        passed = [n for n in "12" if n in boots[:i] and n not in boots[i:]]
        started = DIAGS_OUT if booted == "R" else app_line(".".join(booted * 4)) + "\n" + \
            ("" if slots[int(booted) - 1] in "co" else "args=[] LD_PRELOAD=[]\n")
        err = "".join(PASSED.format(n, limit)
                      for n in passed) + BOTH * (booted == "R" and "d" in slots)
        before = (state.read_text(), state.stat().st_ino) if state.is_file() else None
        assert board.run() == (0, B1 + B2 * bool(passed) + started, ODD *
                               (stuck or odd and i == 0) + err + UNKEPT.format(booted) * stuck)
        assert board.vpd()[59] == (4 if booted == "R" else int(booted))
        if before and f"image{booted} 0 confirmed" in before[0]:
            assert (state.read_text(), state.stat().st_ino) == before
    text = lambda c: "".join(f"image{n} {c[i]} {'trial' if c[i + 1] == 't' else 'confirmed'}\n"
                             for n, i in (("1", 0), ("2", 2)))
    assert (state.read_text() if state.is_file() else None) == (counts and text(counts))
    board.mpboard("install", board.write_file("p", application("3.3.3.3")), "--slot", "1")
    assert board.run() == (0, B1 + APP[3], (ODD + UNKEPT.format(1)) * stuck)
    assert target.read_text() == "target\n" and not (images / "image1.new").exists()
    after = state.read_text() if state.is_file() else None
    assert after == (counts and text("1t" + counts[2:]))
    board.mpboard("install",
                  board.write_file("q", SLOTS["c"]("4.4.4.4")))  # booted at once, then confirmed
    assert (state.read_text() if state.is_file() else None) == after


# The launcher's link test of eth0 (its mgmt module, in a probe the application starts) through
# the kernel's driver, before and after `mpboard link` pulls the machine's cable. IFF_RUNNING
# follows the card's link once the kernel has set the operational state (up to a second later).
@vm
def test_link_test_follows_the_cable(new_board):
    board = new_board(kind="vm")
    probe = Path(os.environ.get("MP_LINK_PROBE", "link-probe-not-built")).read_bytes()
    board.slot(
        1,
        application(
            "1.1.1.1", "ifconfig eth0 up\nuntil grep -q up /sys/class/net/eth0/operstate; do "
            "sleep 1; done\nexec /tmp/home/bin/probe\n", {"home/bin/probe": probe}))
    console = board.console()
    console.expect_exact("link 1")
    board.mpboard("link", "down")  # plugged again, the card would first negotiate for 0.5 s
    console.send("\r")
    console.expect_exact("link 0")
    console.sendeof()
    assert console.finish()[0] == 0


# Bus 0 through the machine's kernel (mpboard_i2c): the multiplexer takes each control byte and
# reads it back, and the EEPROM answers (and takes a byte) only behind channel 3 with the CPLD's
# gate switched open; what it took is in the flash when the machine is cut.
I2C_PATHS = {(8, 1): "0x01", (0, 1): "nak", (4, 1): "nak", (8, 0): "nak"}
CPLD = "/dev/lamel/cpld_mmmap"
I2C_PROBE = application(
    "1.1.1.1", "exec 2> /dev/null\n" + "".join(
        f"i2cset -y 0 0x70 {mux}; printf '\\{gate:03o}' | dd of={CPLD} bs=1 seek=20 conv=notrunc\n"
        f"until dd if={CPLD} bs=1 skip=24 count=1 | od -An -tu1 | grep -q 1; do :; done\n"
        f"i2cset -y 0 0x54 {100 + i:#x} 0x5a; echo path {mux} {gate} $(i2cget -y 0 0x70) "
        "$(i2cget -y 0 0x54 1 || echo nak)\n"
        for i, (mux, gate) in enumerate(I2C_PATHS)) + "read x\n")


@pytest.mark.parametrize("board", VM_KINDS, indirect=True)
def test_i2c_path_in_a_machine(board):
    board.slot(1, I2C_PROBE)
    console = board.console()
    for (mux, gate), eeprom in I2C_PATHS.items():
        console.line(f"path {mux} {gate} 0x{mux:02x} {eeprom}")
    os.killpg(console.pid, signal.SIGKILL)
    console.expect(pexpect.EOF)
    assert board.vpd() == {**pristine_vpd(booted=1), 100: 0x5a}


# A hostile application, root in a virtual machine, and `nobody` on the workstation during the run
# (mpboard under umask 000): no share of the board directory to mount, nothing set-id, given away or
# huge reaches the workstation from the share or from /user (which comes back the caller's, within
# its flash), and qemu's monitor is out of reach.
HOSTILE = application(
    "6.6.6.6", "modprobe 9pnet_virtio; modprobe 9p; mkdir /tmp/b\nmount -t 9p -o trans=virtio,"
    "version=9p2000.L board /tmp/b && echo share: ESCAPED || echo share: refused\n"
    "for d in /tmp/b /user; do echo x > $d/suid; chmod 4755 $d/suid; echo x > $d/given; chown 1234 "
    "$d/given; dd if=/dev/zero of=$d/huge bs=1 count=1 seek=1073741823 2> /dev/null; done\n"
    "echo attacked; read x\n")
NOBODY = [
    "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/python3", "-c",
    "import socket, sys; s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); "
    "print(s.recv(9))"
]


@vm
@pytest.mark.parametrize("board", ["vm"], indirect=True)
def test_hostile_application_in_a_machine(board):
    if os.geteuid() != 0:
        pytest.skip("the other account needs root")
    board.slot(1, HOSTILE)
    board.path.chmod(0o755)  # as a board's chmod of its own root once left it
    umask = os.umask(0)
    console = board.console()
    os.umask(umask)
    console.expect_exact("attacked", timeout=120)  # the whole boot under TCG
    monitors = list(board.path.glob("run/**/*monitor"))
    assert monitors and all(
        subprocess.run([*NOBODY, m], capture_output=True).returncode for m in monitors)
    for ended in (False, True):
        assert [
            p for p in board.path.rglob("*")
            if (p.lstat().st_mode
                & 0o6000 or p.lstat().st_uid == 1234 or p.lstat().st_size > 1 << 28)
        ] == [], ended
        if not ended:
            console.send("\r")
            assert console.finish()[0] == 0
    text = (board.path / "console.txt").read_text()
    assert "share: refused" in text
    assert "mpboard vm: /user/huge: larger than the flash, left out" in text
    assert [(board.path / "user" / n).stat().st_mode & 0o7777
            for n in ("suid", "given")] == [0o755, 0o644]
