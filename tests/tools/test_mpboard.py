"""mpboard run as a person or a test script runs it: boards made, edited, booted and installed
into, their files read back here; packages written by the independent writer."""

import os
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "pylib"))
from mppackage import APPLICATION, KERNEL, application, record  # noqa: E402

MPBOARD = os.environ.get("MPBOARD", "mpboard")
PARTITIONS = {"uboot": 0x80000, "ubootenv": 0x20000, "devicetree": 0x40000,
              "kernel": 0x300000, "rfs": 0xF00000, "rescue": 0xA00000}


def mpboard(*args, check=None, stdin=subprocess.DEVNULL, **kw):
    proc = subprocess.run([MPBOARD, *map(str, args)], capture_output=True, text=True,
                          stdin=stdin, timeout=60, **kw)
    assert check is None or proc.returncode == check, proc
    return proc


def put(path, data):
    path.write_bytes(data)
    return path


@pytest.fixture
def board(tmp_path):
    mpboard("create", tmp_path / "board", "--demo", check=0)
    return tmp_path / "board"


def test_create(tmp_path, board):
    """A new board is erased; create never overwrites what is not a board, and --force
    makes a board afresh."""
    other = tmp_path / "notaboard"
    other.mkdir()
    (other / "keep").write_text("precious")
    for target, extra in ((other, []), (other, ["--force"]), (board, [])):
        assert mpboard("create", target, *extra).returncode == 1
    assert (other / "keep").read_text() == "precious"
    mpboard("create", board, "--force", check=0)
    for name, size in PARTITIONS.items():
        assert (board / f"dev/mtd-{name}").read_bytes() == b"\xff" * size, name
    assert (board / "var/vpd.bin").read_bytes() == b"\xff" * 256
    assert not (board / "user/images").exists() and (board / "var/log/board.log").read_text() == ""


def env_vars(b):
    part = (b / "dev/mtd-ubootenv").read_bytes()
    assert struct.unpack(">I", part[:4])[0] == zlib.crc32(part[4:])
    used = part[4:].index(b"\0\0") + 2
    assert part[4 + used:] == b"\xff" * (len(part) - 4 - used)
    return part[4:4 + used - 2].decode().split("\0")


def test_env_vpd_slot_flash_conf(tmp_path, board):
    mpboard("env", board, "shell=on", "gdbport=4321", "bootcmd=run a; run b", check=0)
    mpboard("env", board, "gdbport=99", "shell=", "memchk=on", check=0)
    assert env_vars(board) == ["gdbport=99", "bootcmd=run a; run b", "memchk=on"]
    assert mpboard("env", board, check=0).stdout == "gdbport=99\nbootcmd=run a; run b\nmemchk=on\n"
    assert mpboard("env", board, *[f"v{i}=" + "x" * 40000 for i in range(4)]).returncode == 1
    assert mpboard("env", board, "novalue").returncode == 2
    assert "1280" in mpboard("env", board, "pad=" + "y" * 1300, check=0).stderr

    mpboard("vpd", board, "1=2", "59=0x04", "255=255", check=0)
    assert mpboard("vpd", board, "1", "0x3b", "255", check=0).stdout == "1 0x02\n59 0x04\n255 0xff\n"
    for bad in ("256", "1=256", "-1", "x=1"):
        assert mpboard("vpd", board, bad).returncode == 2, bad

    pkg = put(tmp_path / "pkg", record(APPLICATION, b"not a tarball", 7, bad_crc=True))
    mpboard("slot", board, 2, pkg, check=0)
    assert (board / "user/images/image2").read_bytes() == pkg.read_bytes()
    for _ in range(2):
        mpboard("slot", board, 1, "--remove", check=0)
    assert not (board / "user/images/image1").exists()
    assert mpboard("slot", board, 3, pkg).returncode == 2

    blob = put(tmp_path / "blob", bytes(range(256)) * 3)
    mpboard("flash", board, "kernel", blob, check=0)
    assert (board / "dev/mtd-kernel").read_bytes() == blob.read_bytes() + b"\xff" * (0x300000 - 768)
    blob.write_bytes(b"\0" * (PARTITIONS["devicetree"] + 1))
    assert mpboard("flash", board, "devicetree", blob).returncode == 1
    assert (board / "dev/mtd-devicetree").read_bytes() == b"\xff" * PARTITIONS["devicetree"]
    assert mpboard("flash", board, "bootloader", blob).returncode == 2

    mpboard("conf", board, "fault.mtd.write=kernel:3", "clock.scale=0", check=0)
    shown = mpboard("conf", board, check=0).stdout
    assert "fault.mtd.write = kernel:3\n" in shown and "clock.scale = 0\n" in shown
    mpboard("conf", board, "fault.mtd.write=", check=0)
    assert "fault.mtd.write = none (default)\n" in mpboard("conf", board, check=0).stdout
    assert mpboard("conf", board, "no.such.key=1").returncode == 2


def boot(b, *extra, **kw):
    return mpboard("run", b, "--clock-scale", "0", *extra, **kw)


JAIL_PROBE = """
echo "out: $(grep clock.scale /etc/board.conf)"
echo "err: on stderr" >&2
ls {marker} > /dev/null 2>&1 && echo "host file visible" || echo "host file hidden"
ip -o link | cut -d: -f2
true &> /dev/null; echo "amp [$!]"
flash_eraseall /dev/mtd-user-char > /dev/null; echo "user holds: [$(ls -A /user)]"
reboot -f
echo "still here after reboot"
"""


def test_the_jail_isolates_the_board(tmp_path, board):
    (tmp_path / "marker").write_text("the workstation's file")
    (board / "tmp/gdb").write_text("left from an earlier boot")
    (board / "bin/mplaunch-sandbox").write_bytes(b"stale")
    mpboard("slot", board, 1, put(tmp_path / "probe.pkg", application(
        "5.0.0.5", JAIL_PROBE.format(marker=tmp_path / "marker"))), check=0)
    proc = boot(board, check=0)
    # This run's clock scale, though board.conf on the host still says 1; the board's sh runs
    # `cmd &> file` in the foreground, as bash does; standard error stays a stream of its own.
    assert [line.strip() for line in proc.stdout.splitlines()] == [
        "Booting image '1'", "out: clock.scale = 0", "host file hidden", "lo", "amp []",
        "user holds: []", "still here after reboot"]
    assert proc.stderr == "err: on stderr\n"
    assert {"reboot: -f", "flash_eraseall: /dev/mtd-user-char"} <= set(
        (board / "var/log/board.log").read_text().splitlines())
    # A boot starts with an empty /tmp and the launcher of this build.
    assert not (board / "tmp/gdb").exists() and (board / "tmp/home/bin/mp.elf.strip").exists()
    assert not os.listdir(board / "user")
    assert (board / "bin/mplaunch-sandbox").read_bytes() != b"stale"
    assert "clock.scale = 1\n" in mpboard("conf", board, check=0).stdout


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("setpriv"), reason="needs root")
def test_an_ordinary_user_boots_a_board(tmp_path):
    home = tmp_path / "nobody"
    home.mkdir()
    os.chown(home, 65534, 65534)
    # pytest makes its directories for root alone; the user must reach the board.
    for d in (tmp_path, *tmp_path.parents):
        if d.name.startswith("pytest"):
            os.chmod(d, 0o755)
            break
        os.chmod(d, os.stat(d).st_mode | 0o011)
    as_nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", MPBOARD]
    subprocess.run(as_nobody + ["create", str(home / "b"), "--demo"], check=True, timeout=60)
    proc = subprocess.run(as_nobody + ["run", str(home / "b"), "--clock-scale", "0"],
                          capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)
    if "user namespace" in proc.stderr:
        pytest.skip("unprivileged user namespaces are disabled here: " + proc.stderr)
    assert proc.returncode == 0 and proc.stdout.endswith("demo application 1.0.0.1 running\n")
    assert "--netns needs root" in subprocess.run(
        as_nobody + ["run", str(home / "b"), "--netns", "x"], capture_output=True, text=True,
        stdin=subprocess.DEVNULL, timeout=60).stderr


def test_install_writes_records_with_the_boards_installer(tmp_path, board):
    kernel = record(KERNEL, bytes(range(256)) * 8, 0x01020304)
    app = application("9.0.0.9", 'echo "installed app"\n')
    pkg = put(tmp_path / "release.pkg", kernel + app)
    out = mpboard("install", board, pkg, "--slot", 2, check=0).stdout
    assert "Installing Kernel: " in out and out.endswith("\nImage2 updated succeeded\n"
                                                         "File processed\n")
    assert (board / "dev/mtd-kernel").read_bytes()[:len(kernel)] == kernel
    assert (board / "user/images/image2").read_bytes() == app
    assert (board / "var/vpd.bin").read_bytes()[1] == 2
    assert "vpd-write: offset 1 value 0x02" in (board / "var/log/board.log").read_text()
    assert boot(board, check=0).stdout.endswith("installed app\n")
    # The same package again, with the version check: nothing to write.
    assert "Image has same version as existing image. Skipping update..." in mpboard(
        "install", board, pkg, "--slot", 2, "--check-versions", check=1).stdout
    before = (board / "dev/mtd-kernel").read_bytes()
    damaged = put(tmp_path / "damaged.pkg", record(KERNEL, b"k" * 64, 2, bad_crc=True))
    assert "Bad crc for KERNEL: 0x" in mpboard("install", board, damaged, check=1).stdout
    assert (board / "dev/mtd-kernel").read_bytes() == before
    # Asked on standard input: a slot, or an empty answer that boots the package at once.
    app = application("10.0.0.10", 'echo "booted at once"\n')
    pkg = put(tmp_path / "app.pkg", app)
    out = mpboard("install", board, pkg, input="1x\n", stdin=None, check=0).stdout
    assert "Install image as image 1 or 2 (hit return to just boot image): " in out
    assert (board / "user/images/image1").read_bytes() == app
    out = mpboard("install", board, pkg, input="\n", stdin=None, check=0).stdout
    assert out.endswith("Booting downloaded image\nImage ready to boot...\nbooted at once\n")
    assert mpboard("install", board, tmp_path / "missing.pkg").returncode == 1
