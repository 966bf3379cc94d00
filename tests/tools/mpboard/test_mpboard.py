"""mpboard run as a person or a test script runs it.

Boards are made and edited by mpboard and read back here with struct, zlib, gzip and tarfile;
packages for boots and installs are written here, not by mpboard, so a fault shared by its writer
and its reader cannot hide. Every board lives under pytest's base directory in the build tree.
"""

import gzip
import io
import os
import shutil
import struct
import subprocess
import tarfile
import time
import zlib

import pytest

MPBOARD = os.environ.get("MPBOARD", "mpboard")

APPLICATION, BOOT, KERNEL, RFS, DFT, DIAGS = (n << 24 | 0x504F4C for n in range(1, 7))
PARTITIONS = {"uboot": 0x80000, "ubootenv": 0x20000, "devicetree": 0x40000,
              "kernel": 0x300000, "rfs": 0xF00000, "rescue": 0xA00000}


def board_crc(data):
    """The board's record CRC: zlib's CRC-32 without the final inversion."""
    return zlib.crc32(data) ^ 0xFFFFFFFF


def record(magic, payload, version=0, bad_crc=False):
    body = struct.pack(">III", len(payload), magic, version) + payload
    return struct.pack(">I", board_crc(body) ^ (1 if bad_crc else 0)) + body


def app_tarball(script):
    """An application tarball whose home/bin/mp.elf.strip is the given shell script."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for d in ("home", "home/bin"):
            info = tarfile.TarInfo(d)
            info.type, info.mode = tarfile.DIRTYPE, 0o755
            tar.addfile(info)
        data = ("#!/bin/sh\n" + script).encode()
        info = tarfile.TarInfo("home/bin/mp.elf.strip")
        info.size, info.mode = len(data), 0o755
        tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue())


def mpboard(*args, check=None, stdin=subprocess.DEVNULL, timeout=60, **kw):
    proc = subprocess.run([MPBOARD, *map(str, args)], capture_output=True, text=True,
                          stdin=stdin, timeout=timeout, **kw)
    if check is not None:
        assert proc.returncode == check, (proc.returncode, proc.stdout, proc.stderr)
    return proc


def records_of(data):
    """(magic, id, payload, crc_ok) of each record of a package."""
    out, pos = [], 0
    while len(data) - pos >= 20:
        crc, length, magic, version = struct.unpack_from(">IIII", data, pos)
        end = pos + 16 + length
        out.append((magic, version, data[pos + 16:end], board_crc(data[pos + 4:end]) == crc))
        pos = end
    return out


def read(path):
    with open(path, "rb") as f:
        return f.read()


def put(path, data):
    path.write_bytes(data)
    return path


@pytest.fixture
def board(tmp_path):
    path = tmp_path / "board"
    mpboard("create", path, "--demo", check=0)
    return path


def vpd(path):
    return read(path / "var/vpd.bin")


def log(path):
    return (path / "var/log/board.log").read_text()


def test_create_makes_an_erased_board(tmp_path):
    b = tmp_path / "plain"
    mpboard("create", b, check=0)
    for name, size in PARTITIONS.items():
        assert read(b / "dev" / f"mtd-{name}") == b"\xff" * size, name
    assert vpd(b) == b"\xff" * 256
    assert not (b / "user/images").exists()
    assert os.path.isfile(b / "etc/board.conf") and log(b) == ""
    # The stand-ins take the place of BusyBox's applets that could reach beyond the board.
    for name in ("reboot", "halt", "poweroff", "mount", "umount", "flash_eraseall", "backtrace",
                 "gdbserver", "dhclient"):
        assert not os.path.islink(b / "bin" / name), name
        assert read(b / "bin" / name).startswith(b"#!/bin/sh\n"), name
    assert os.readlink(b / "bin/sh") == "busybox"
    assert os.path.realpath(b / "usr/bin/rx") == os.path.realpath(b / "bin/busybox")


def test_demo_board_holds_bootable_packages(board):
    for slot, version in ((1, 0x01000001), (2, 0x02000002)):
        [(magic, vid, payload, ok)] = records_of(read(board / f"user/images/image{slot}"))
        assert (magic, vid, ok) == (APPLICATION, version, True)
        with tarfile.open(fileobj=io.BytesIO(gzip.decompress(payload))) as tar:
            member = tar.getmember("home/bin/mp.elf.strip")
            assert member.mode & 0o777 == 0o755 and member.uid == 0
            text = tar.extractfile(member).read().decode()
        v = ".".join(str(b) for b in version.to_bytes(4, "big"))
        assert text == f'#!/bin/sh\necho "demo application {v} running"\n'
    rescue = read(board / "dev/mtd-rescue")
    magic, vid, payload, ok = records_of(rescue)[0]
    assert (magic, ok) == (DIAGS, True)
    with tarfile.open(fileobj=io.BytesIO(gzip.decompress(payload))) as tar:
        assert b"demo diagnostics 3.0.0.3 running" in tar.extractfile("mpdiag.elf.strip").read()
    assert vpd(board)[1] == 1 and vpd(board)[59] == 0xFF


def test_create_refuses_to_overwrite(tmp_path, board):
    other = tmp_path / "notaboard"
    other.mkdir()
    (other / "keep").write_text("precious")
    assert mpboard("create", other).returncode == 1
    assert mpboard("create", other, "--force").returncode == 1
    assert (other / "keep").read_text() == "precious"
    assert mpboard("create", board).returncode == 1
    mpboard("vpd", board, "1=2", check=0)
    mpboard("create", board, "--force", check=0)
    assert vpd(board) == b"\xff" * 256 and not (board / "user/images").exists()


def env_vars(b):
    part = read(b / "dev/mtd-ubootenv")
    assert struct.unpack(">I", part[:4])[0] == zlib.crc32(part[4:])
    strings = part[4:].split(b"\0")
    end = strings.index(b"")
    used = sum(len(s) + 1 for s in strings[:end]) + 1
    assert part[4 + used:] == b"\xff" * (len(part) - 4 - used)
    return [s.decode() for s in strings[:end]]


def test_env_round_trip(board):
    assert mpboard("env", board, check=0).stdout == ""
    mpboard("env", board, "shell=on", "gdbport=4321", "bootcmd=run a; run b", check=0)
    assert env_vars(board) == ["shell=on", "gdbport=4321", "bootcmd=run a; run b"]
    mpboard("env", board, "gdbport=99", "shell=", "memchk=on", check=0)
    assert env_vars(board) == ["gdbport=99", "bootcmd=run a; run b", "memchk=on"]
    assert mpboard("env", board, check=0).stdout == "gdbport=99\nbootcmd=run a; run b\nmemchk=on\n"
    before = read(board / "dev/mtd-ubootenv")
    too_many = [f"v{i}=" + "x" * 40000 for i in range(4)]
    assert mpboard("env", board, *too_many).returncode == 1
    assert mpboard("env", board, "novalue").returncode == 2
    assert read(board / "dev/mtd-ubootenv") == before
    warn = mpboard("env", board, "pad=" + "y" * 1300, check=0)
    assert "1280" in warn.stderr


def test_vpd_slot_flash_conf(tmp_path, board):
    mpboard("vpd", board, "1=2", "59=0x04", "255=255", check=0)
    assert mpboard("vpd", board, "1", "0x3b", "255", check=0).stdout == "1 0x02\n59 0x04\n255 0xff\n"
    assert len(mpboard("vpd", board, check=0).stdout.splitlines()) == 256
    for bad in ("256", "1=256", "-1", "x=1"):
        assert mpboard("vpd", board, bad).returncode == 2, bad
    assert vpd(board)[1] == 2

    pkg = put(tmp_path / "pkg", record(APPLICATION, b"not a tarball", 7, bad_crc=True))
    mpboard("slot", board, 2, pkg, check=0)
    assert read(board / "user/images/image2") == read(pkg)
    mpboard("slot", board, 1, "--remove", check=0)
    mpboard("slot", board, 1, "--remove", check=0)
    assert not (board / "user/images/image1").exists()
    assert mpboard("slot", board, 3, pkg).returncode == 2

    blob = put(tmp_path / "blob", bytes(range(256)) * 3)
    mpboard("flash", board, "kernel", blob, check=0)
    kernel = read(board / "dev/mtd-kernel")
    assert kernel[:768] == read(blob) and kernel[768:] == b"\xff" * (len(kernel) - 768)
    blob.write_bytes(b"\0" * (PARTITIONS["devicetree"] + 1))
    assert mpboard("flash", board, "devicetree", blob).returncode == 1
    assert read(board / "dev/mtd-devicetree") == b"\xff" * PARTITIONS["devicetree"]
    assert mpboard("flash", board, "bootloader", blob).returncode == 2

    mpboard("conf", board, "fault.mtd.write=kernel:3", "clock.scale=0", check=0)
    shown = mpboard("conf", board, check=0).stdout
    assert "fault.mtd.write = kernel:3\n" in shown and "clock.scale = 0\n" in shown
    mpboard("conf", board, "fault.mtd.write=", check=0)
    assert "fault.mtd.write = none (default)\n" in mpboard("conf", board, check=0).stdout
    assert mpboard("conf", board, "no.such.key=1").returncode == 2


def test_links_in_a_board_lead_into_the_board(tmp_path, board):
    """A link the board's programs left (user/images -> /some/path) names the board's path."""
    host_dir = tmp_path / "host"
    host_dir.mkdir()
    (host_dir / "keep").write_text("the workstation's")
    pkg = put(tmp_path / "pkg", record(APPLICATION, b"x", 1))
    shutil.rmtree(board / "user/images")
    os.symlink(host_dir, board / "user/images")
    assert mpboard("slot", board, 1, pkg).returncode == 1
    inside = board / str(host_dir).lstrip("/")
    inside.mkdir(parents=True)
    mpboard("slot", board, 1, pkg, check=0)
    mpboard("slot", board, 1, "--remove", check=0)
    mpboard("slot", board, 2, pkg, check=0)
    assert read(inside / "image2") == read(pkg)
    os.remove(board / "var/log/board.log")
    os.symlink(host_dir / "keep", board / "var/log/board.log")
    mpboard("log", board, "--clear", check=0)
    assert sorted(os.listdir(host_dir)) == ["keep"]
    assert (host_dir / "keep").read_text() == "the workstation's"


def boot(b, *extra, **kw):
    return mpboard("run", b, "--clock-scale", "0", *extra, **kw)


JAIL_PROBE = """
echo "out: $(grep clock.scale /etc/board.conf)"
echo "err: on stderr" >&2
ls {marker} > /dev/null 2>&1 && echo "host file visible" || echo "host file hidden"
ip -o link
echo "pid1: $(cat /proc/1/comm)"
true &> /dev/null; echo "amp [$!]"
flash_eraseall /dev/mtd-user-char > /dev/null; echo "user holds: $(ls -A /user)"
reboot -f
echo "still here after reboot"
"""


def test_the_jail_isolates_the_board(tmp_path, board):
    marker = tmp_path / "host-marker"
    marker.write_text("the workstation's file")
    probe = app_tarball(JAIL_PROBE.format(marker=marker))
    pkg = put(tmp_path / "probe.pkg", record(APPLICATION, probe, 5))
    mpboard("slot", board, 1, pkg, check=0)
    proc = boot(board, check=0)
    out = proc.stdout.splitlines()
    assert out[0] == "Booting image '1'"
    # This run's clock scale, though board.conf on the host still says 1.
    assert out[1] == "out: clock.scale = 0"
    assert "host file hidden" in out
    links = [line.split(":")[1].strip() for line in out if line[:1].isdigit()]
    assert links == ["lo"]
    assert "still here after reboot" in out
    # The board's sh runs `cmd &> file` in the foreground, as bash does.
    assert "amp []" in out
    assert "user holds: " in out and not os.listdir(board / "user")
    # Standard error stays a stream of its own.
    assert proc.stderr == "err: on stderr\n"
    assert "err:" not in proc.stdout
    assert {"reboot: -f", "flash_eraseall: /dev/mtd-user-char"} <= set(log(board).splitlines())


def test_a_boot_starts_with_empty_tmp_and_the_rebuilt_launcher(board):
    (board / "tmp/gdb").write_text("left from an earlier boot")
    (board / "user/keep").write_text("persistent")
    (board / "bin/mplaunch-sandbox").write_bytes(b"stale")
    boot(board, check=0)
    assert (board / "user/keep").read_text() == "persistent"
    assert not (board / "tmp/gdb").exists()
    assert (board / "tmp/home/bin/mp.elf.strip").exists()
    assert read(board / "bin/mplaunch-sandbox") != b"stale"
    # The clock scale was for that run only.
    assert "clock.scale = 1\n" in mpboard("conf", board, check=0).stdout


def ordinary_user_can_run():
    return os.geteuid() == 0 and shutil.which("setpriv") is not None


@pytest.mark.skipif(not ordinary_user_can_run(), reason="needs root to switch to a user")
def test_an_ordinary_user_boots_a_board(tmp_path):
    home = tmp_path / "nobody"
    home.mkdir()
    os.chown(home, 65534, 65534)
    # pytest makes its directories for root alone; the user must reach the board.
    for d in (tmp_path, *tmp_path.parents):
        if not (d / "..").samefile(d) and d.name.startswith("pytest"):
            os.chmod(d, 0o755)
            break
        os.chmod(d, os.stat(d).st_mode | 0o011)
    as_nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", MPBOARD]
    subprocess.run(as_nobody + ["create", str(home / "b"), "--demo"], check=True, timeout=60)
    proc = subprocess.run(as_nobody + ["run", str(home / "b"), "--clock-scale", "0"],
                          capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)
    if "user namespace" in proc.stderr:
        pytest.skip("unprivileged user namespaces are disabled here: " + proc.stderr)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.endswith("demo application 1.0.0.1 running\n")
    assert "--netns needs root" in subprocess.run(
        as_nobody + ["run", str(home / "b"), "--netns", "x"], capture_output=True, text=True,
        stdin=subprocess.DEVNULL, timeout=60).stderr


WAIT_FOR_ETH1 = """
i=0
while [ $i -lt 200 ]; do
    if ifconfig eth1 10.77.0.2 netmask 255.255.255.0 up 2> /dev/null; then
        echo "eth1 configured"; ifconfig eth1 | grep -o 'inet addr:[0-9.]*'; exit 0
    fi
    usleep 50000; i=$((i + 1))
done
echo "no eth1"
"""


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("ip") is None, reason="needs root and ip")
def test_netns_gives_the_board_an_interface(tmp_path, board):
    name = f"mpboard-test-{os.getpid()}"
    pinned = f"/run/netns/{name}"
    pkg = put(tmp_path / "net.pkg", record(APPLICATION, app_tarball(WAIT_FOR_ETH1), 6))
    mpboard("slot", board, 1, pkg, check=0)
    proc = subprocess.Popen([MPBOARD, "run", board, "--clock-scale", "0", "--netns", name],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    try:
        for _ in range(200):
            if os.path.exists(pinned):
                break
            time.sleep(0.05)
        subprocess.run(["ip", "link", "add", f"mpbv{os.getpid() % 100000}", "type", "veth",
                        "peer", "name", "eth1", "netns", name], check=True, timeout=10)
        out, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0
    assert "eth1 configured\ninet addr:10.77.0.2\n" in out
    assert not os.path.exists(pinned)


def test_install_writes_records_with_the_boards_installer(tmp_path, board):
    kernel = record(KERNEL, bytes(range(256)) * 8, 0x01020304)
    app = record(APPLICATION, app_tarball('echo "installed app"\n'), 0x09000009)
    pkg = put(tmp_path / "release.pkg", kernel + app)
    proc = mpboard("install", board, pkg, "--slot", 2, check=0)
    assert "Installing Kernel: " in proc.stdout
    assert "\nImage2 updated succeeded\n" in proc.stdout
    assert proc.stdout.endswith("File processed\n")
    assert read(board / "dev/mtd-kernel")[:len(kernel)] == kernel
    assert read(board / "user/images/image2") == app
    assert vpd(board)[1] == 2
    assert "vpd-write: offset 1 value 0x02" in log(board).splitlines()
    assert boot(board, check=0).stdout.endswith("installed app\n")

    # The same package again, with the version check: nothing to write, result 0.
    proc = mpboard("install", board, pkg, "--slot", 2, "--check-versions", check=1)
    assert "Image has same version as existing image. Skipping update..." in proc.stdout

    damaged = put(tmp_path / "damaged.pkg", record(KERNEL, b"k" * 64, 2, bad_crc=True))
    before = read(board / "dev/mtd-kernel")
    proc = mpboard("install", board, damaged, check=1)
    assert "Bad crc for KERNEL: 0x" in proc.stdout
    assert read(board / "dev/mtd-kernel") == before


def test_install_asks_for_the_slot_on_standard_input(tmp_path, board):
    app = record(APPLICATION, app_tarball('echo "booted at once"\n'), 0x0A00000A)
    pkg = put(tmp_path / "app.pkg", app)
    proc = mpboard("install", board, pkg, input="1x\n", stdin=None, check=0)
    assert "Install image as image 1 or 2 (hit return to just boot image): " in proc.stdout
    assert read(board / "user/images/image1") == app
    # An empty answer boots the package at once, inside the board.
    proc = mpboard("install", board, pkg, input="\n", stdin=None, check=0)
    assert "Booting downloaded image\nImage ready to boot...\n" in proc.stdout
    assert proc.stdout.endswith("booted at once\n")
    assert mpboard("install", board, tmp_path / "missing.pkg").returncode == 1
