"""Booting (no terminal): the VPD's slot, else the other, else the rescue image, else a reboot."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import DIAGS_LINES, MOUNT_LINE, RESET_LINE, boot_log, interleaves, pristine_vpd, signed, vm
from mppackage import BOOT, DIAGS, EXTENDED, KERNEL, app_line, application, damaged, diagnostics, record
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
# passed over like one without a bootable record, the rescue image last: its record (a third entry: installed
# signed by that key) must verify too, or the board resets.
NOT_VERIFIED = "Image{} signature not verified, passing it over.\n"
NO_RESCUE = "Rescue image signature not verified, not booting it.\n"
@pytest.mark.parametrize("verify, board_keys, slots, err, out, booted", [
    (None, ["rel"], "--", "", B1 + APP[1], 1),
    ("off", ["rel"], "-d", "", B1 + APP[1], 1),
    ("on", ["rel"], ["-", "rel"], NOT_VERIFIED.format(1), B1 + B2 + APP[2], 2),
    ("on", ["rel"], ["other", "t"], NOT_VERIFIED.format(1) + NOT_VERIFIED.format(2) + NO_RESCUE, B1 + B2, 0xFF),
    ("on", [], ["rel", "rel", "rel"], NOT_VERIFIED.format(1) + NOT_VERIFIED.format(2) + NO_RESCUE, B1 + B2, 0xFF),
    ("on", ["rel"], ["-", "d", "rel"], NOT_VERIFIED.format(1) + BOTH, B1 + B2 + DIAGS_OUT, 4),
    # A setting hidden in another variable or stored past 1280 bytes is read as the boot loader reads it.
    *[(env, ["rel"], ["-", "rel"], NOT_VERIFIED.format(1), B1 + B2 + APP[2], 2)
      for env in (("noverify=off", "verify=on"), ("x=" + "y" * 1400, "verify=on"))],
])
def test_verified_boot(board, keys, verify, board_keys, slots, err, out, booted):
    board.mpboard("env", *(verify if isinstance(verify, tuple) else [f"verify={verify}"] * bool(verify)))
    for key in board_keys:
        board.mpboard("keys", "add", keys / f"{key}.pub")
    if slots[2:]:  # the installer writes the diagnostics record's own signature after it
        board.mpboard("install", board.write_file("r", signed(keys, diagnostics("4.4.4.4"), slots[2])))
    for n, kind in zip("12", slots):
        app = application(".".join(n * 4))
        data = {"-": app, "d": damaged(app)}.get(kind) or signed(keys, app, "rel" if kind == "t" else kind)
        board.slot(n, resealed(data[:len(app)], 100) + data[len(app):] if kind == "t" else data)
    assert board.run() == (0, out, err)
    assert board.vpd() == pristine_vpd(1, booted)


# Boot attempts: "bootlimit" (None: no key); slots 1 and 2 ("x" exits at once, as when power is cut before it is
# up, "c" confirms, "o" confirms in its first boot only, "d" damaged); what is at /user/images first (a bootcount
# text, or names made a "fifo", a "link" to user/target, an empty "dir" or a "dir+" holding a file); what each
# boot in a row started ("R": the rescue partition); the state left ("2t0c": slot 1 on trial with 2 attempts,
# slot 2 confirmed; None: no state file). A boot of a confirmed slot writes nothing. Then slot 1 installed anew
# (the planted copy's name in the way) is on trial, and an application booted at once confirms no slot.
PASSED = "Image{} not confirmed after {} boots, passing it over.\n"
ODD = "/user/images/bootcount is not a regular file: boot attempts counted again from 0.\n"
UNKEPT = "Image{} boot attempts cannot be kept (Directory not empty), booting it anyway.\n"
SLOTS = {"c": lambda v: application(v, f'echo "{app_line(v)}"\n/usr/bin/mplaunch-confirm\n'),
         "o": lambda v: application(v, f'echo "{app_line(v)}"\n[ -e /user/once ] || /usr/bin/mplaunch-confirm\n'
                                       "touch /user/once\n"),
         "d": lambda v: damaged(application(v)), "x": application}
@pytest.mark.parametrize("limit, slots, planted, boots, counts", [
    ("2", "xc", {}, "1122", "2t0c"),
    ("3", "cx", {}, "11111", "0c0t"),
    ("2", "ox", {}, "11111", "0c0t"),  # power cuts once confirmed never pass it over
    ("2", "xx", {}, "1122RR", "2t2t"),
    ("1", "xd", {}, "1RR", "1t0t"),  # slot 2's bad CRC after slot 1 passed over: the rescue image
    ("255", "xx", {}, "111", "3t0t"),
    ("2", "xc", "image1 1\nimage2 0\n", "122", "2t0c"),  # an earlier launcher's file: both on trial
    ("2", "ox", "image1 1 trial\nimage2 0 confirmed\n", "111", "0c0c"),
    ("1", "xx", {"bootcount": "fifo", "image1.new": "link"}, "12R", "1t1t"),
    ("2", "cx", {"bootcount": "link", "bootcount.new": "fifo", "image1.new": "dir"}, "111", "0c0t"),
    ("2", "xc", {"bootcount": "dir", "bootcount.new": "link", "image1.new": "fifo"}, "1122", "2t0c"),
    ("1", "xx", {"bootcount": "dir+", "bootcount.new": "dir"}, "111", None),  # said at every boot
    *[(bad, "xx", {}, "1111", None) for bad in ("0", "256", "2x", "-2", " 2", None)],
])
def test_boot_attempts(board, limit, slots, planted, boots, counts):
    board.mpboard("env", f"bootlimit={limit or ''}")
    for n, kind in zip("12", slots):
        board.slot(n, SLOTS[kind](".".join(n * 4)))
    state, images, target = board.path / "user/images/bootcount", board.path / "user/images", board.path / "user/target"
    target.write_text("target\n")
    for name, kind in ({"bootcount": planted} if isinstance(planted, str) else planted).items():
        {"fifo": os.mkfifo, "link": lambda p: p.symlink_to("../target"), "dir": os.mkdir,
         "dir+": lambda p: (p / "file").mkdir(parents=True)}.get(kind, lambda p: p.write_text(kind))(images / name)
    odd = isinstance(planted, dict) and planted.get("bootcount") in ("fifo", "link", "dir", "dir+")
    stuck = odd and planted["bootcount"] == "dir+"  # cannot be replaced: said at every boot
    for i, booted in enumerate(boots):
        passed = [n for n in "12" if n in boots[:i] and n not in boots[i:]]
        started = DIAGS_OUT if booted == "R" else app_line(".".join(booted * 4)) + "\n" + \
            ("" if slots[int(booted) - 1] in "co" else "args=[] LD_PRELOAD=[]\n")
        err = "".join(PASSED.format(n, limit) for n in passed) + BOTH * (booted == "R" and "d" in slots)
        before = (state.read_text(), state.stat().st_ino) if state.is_file() else None
        assert board.run() == (0, B1 + B2 * bool(passed) + started,
                               ODD * (stuck or odd and i == 0) + err + UNKEPT.format(booted) * stuck)
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
    board.mpboard("install", board.write_file("q", SLOTS["c"]("4.4.4.4")))  # booted at once, then confirmed
    assert (state.read_text() if state.is_file() else None) == after


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


# A hostile application, root in a virtual machine, and `nobody` on the workstation during the run (mpboard under
# umask 000): no share of the board directory to mount, nothing set-id, given away or huge reaches the workstation
# from the share or from /user (which comes back the caller's, within its flash), and qemu's monitor is out of reach.
HOSTILE = application("6.6.6.6", "modprobe 9pnet_virtio; modprobe 9p; mkdir /tmp/b\nmount -t 9p -o trans=virtio,"
                      "version=9p2000.L board /tmp/b && echo share: ESCAPED || echo share: refused\n"
                      "for d in /tmp/b /user; do echo x > $d/suid; chmod 4755 $d/suid; echo x > $d/given; chown 1234 "
                      "$d/given; dd if=/dev/zero of=$d/huge bs=1 count=1 seek=1073741823 2> /dev/null; done\n"
                      "echo attacked; read x\n")
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/python3", "-c",
          "import socket, sys; s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); print(s.recv(9))"]


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
    assert monitors and all(subprocess.run([*NOBODY, m], capture_output=True).returncode for m in monitors)
    for ended in (False, True):
        assert [p for p in board.path.rglob("*") if (p.lstat().st_mode & 0o6000 or p.lstat().st_uid == 1234
                                                     or p.lstat().st_size > 1 << 28)] == [], ended
        if not ended:
            console.send("\r")
            assert console.finish()[0] == 0
    text = (board.path / "console.txt").read_text()
    assert "share: refused" in text and "mpboard vm: /user/huge: larger than the flash, left out" in text
    assert [(board.path / "user" / n).stat().st_mode & 0o7777 for n in ("suid", "given")] == [0o755, 0o644]
