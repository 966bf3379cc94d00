"""Sandbox boards booted the way a field engineer boots them: filled through `mpboard` in a fresh
directory under the build tree, booted with `mpboard run` on a pseudo-terminal (pexpect) or with
standard output and standard error captured apart, read back through `mpboard vpd` and `log`.
Records and tarballs are written here with struct, zlib and tarfile, not by the project's own
tools, so a fault shared by writer and reader cannot hide."""

import contextlib
import fcntl
import gzip
import io
import os
import re
import select
import shutil
import struct
import subprocess
import tarfile
import termios
import time
import zlib
from pathlib import Path

import pexpect
import pytest

MPBOARD = os.environ.get("MPBOARD", "mpboard")
WORK = Path(os.environ.get("MP_SYSTEM_WORK", Path(__file__).resolve().parents[2] / "build" /
                           "system-boards"))
# Seconds one console expectation may wait. Boards are small and every pause of the launcher is
# scaled to nothing, so a boot takes well under a second; this only bounds a hang.
TIMEOUT = float(os.environ.get("MP_SYSTEM_TIMEOUT", "30"))

APPLICATION, BOOT, KERNEL, RFS, DFT, DIAGS = (n << 24 | 0x504F4C for n in range(1, 7))
EXTENDED = 0x80000000

VPD_IMAGE, VPD_BOOTED = 1, 59
# The pty number of a master (Python's termios module does not name it): _IOR('T', 0x30, int).
TIOCGPTN = getattr(termios, "TIOCGPTN", 0x80045430)

MOUNT_LINE = "system: /bin/mount -o sync -t jffs2 /dev/mtd-user /user"
UNPACK_LINE = r"system: cd /tmp \ntar mxzf /tmp/kaviximage.tar.gz \nrm /tmp/kaviximage.tar.gz\n"
DIAGS_LINES = ["system: mkdir -p /tmp/home/bin",
               "system: mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip"]
RESET_LINE = "system: reboot"
RESCUE_QUESTION = "Install recovery image as image 1 or 2 (hit return to just boot image): "
RECOVERY_NOTICE = ("Booting recovery image. You will need to download and install an image "
                   "before rebooting")


def ordinary_boot_log(booted):
    """The launcher's board-log lines of a boot that ends in the ordinary start."""
    return [MOUNT_LINE, f"vpd-write: offset 59 value 0x{booted:02x}", UNPACK_LINE,
            "exec: /bin/backtrace"]


def board_crc(data):
    """The board's CRC register: zlib's CRC-32 without the final inversion."""
    return zlib.crc32(data) ^ 0xFFFFFFFF


def version_id(version):
    a, b, c, d = (int(x) for x in version.split("."))
    return a << 24 | b << 16 | c << 8 | d


def record(magic, payload, version="0.0.0.0", hdrlen=None, bad_crc=False):
    """One image record: big-endian header, payload, CRC over everything after the CRC word."""
    body = struct.pack(">III", len(payload), magic, version_id(version))
    if magic & EXTENDED:
        body += struct.pack(">HH", 0xA5A5, hdrlen) + b"\xee" * (hdrlen - 20)
    body += payload
    crc = board_crc(body) ^ (0x00010000 if bad_crc else 0)
    return struct.pack(">I", crc) + body


def damaged(rec, at=-1):
    """The record with one byte changed, as a bad flash cell or a torn download leaves it."""
    data = bytearray(rec)
    data[at] ^= 0x5A
    return bytes(data)


def tarball(files):
    """A gzip'ed tar archive of {path: bytes}, every file executable, as a build would pack it."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, data in files.items():
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = len(data), 0o755, 0
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue(), mtime=0)


def app_line(version):
    return f"test application {version} running"


def application(version):
    """An application record whose program names its version, its arguments and LD_PRELOAD."""
    program = (f'#!/bin/sh\necho "{app_line(version)}"\n'
               'echo "args=[$*] LD_PRELOAD=[${LD_PRELOAD:-}]"\n').encode()
    return record(APPLICATION, tarball({"home/bin/mp.elf.strip": program}), version)


def diag_line(version):
    return f"test diagnostics {version} running"


def diagnostics(version):
    program = f'#!/bin/sh\necho "{diag_line(version)}"\n'.encode()
    return record(DIAGS, tarball({"mpdiag.elf.strip": program}), version)


class Board:
    """One sandbox board directory and the mpboard commands on it."""

    def __init__(self, path):
        self.path = path

    def mpboard(self, *args, check=0):
        proc = subprocess.run([MPBOARD, args[0], str(self.path), *map(str, args[1:])],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        if check is not None:
            assert proc.returncode == check, (args, proc.returncode, proc.stdout, proc.stderr)
        return proc

    def write_file(self, name, data):
        path = self.path / "build-inputs" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def slot(self, n, data):
        """Puts a package into image slot n; None removes the slot file."""
        if data is None:
            self.mpboard("slot", n, "--remove")
        else:
            self.mpboard("slot", n, self.write_file(f"slot{n}.img", data))

    def slot_file(self, n):
        path = self.path / "user" / "images" / f"image{n}"
        return path.read_bytes() if path.exists() else None

    def flash(self, partition, data):
        self.mpboard("flash", partition, self.write_file(f"{partition}.bin", data))

    def env(self, *assignments):
        self.mpboard("env", *assignments)

    def vpd(self):
        """The EEPROM as {offset: value}, as `mpboard vpd` prints it."""
        out = self.mpboard("vpd").stdout.decode()
        values = {int(o, 0): int(v, 0) for o, v in map(str.split, out.splitlines())}
        assert len(values) == 256, out
        return values

    def set_vpd(self, values):
        self.mpboard("vpd", *(f"{offset}={value}" for offset, value in values.items()))

    def log(self):
        return self.mpboard("log").stdout.decode().splitlines()

    def launcher_log(self):
        """The lines of the board log that the launcher's own device and command calls wrote."""
        return [line for line in self.log()
                if line.split(":", 1)[0] in ("system", "exec", "vpd-write", "fault")]

    def run(self, stdin=b"", ppc=False, timeout=60):
        """Boots without a terminal: standard output and standard error captured apart."""
        proc = subprocess.run([MPBOARD, "run", str(self.path), "--clock-scale", "0",
                               *["--ppc"] * ppc], input=stdin, capture_output=True, timeout=timeout)
        return proc.returncode, proc.stdout.decode(), proc.stderr.decode()

    def console(self, clock_scale="0", netns=None, ppc=False):
        """Boots with a pseudo-terminal as the board's console (and its serial line). Serial
        downloads run at clock scale 1: the Enter waits poll once a second."""
        args = ["run", str(self.path), "--clock-scale", clock_scale]
        args += ["--netns", netns] * (netns is not None) + ["--ppc"] * ppc
        child = pexpect.spawn(MPBOARD, args, timeout=TIMEOUT, encoding="utf-8",
                              codec_errors="replace", dimensions=(24, 120))
        child.logfile_read = open(self.path / "console.txt", "w", buffering=1)
        _consoles.append(child)
        return Console(child)


# Boards still running when their test ended (it failed half-way): ended before the next test.
_consoles = []


@pytest.fixture(autouse=True)
def end_leftover_boards():
    yield
    while _consoles:
        child = _consoles.pop()
        if child.isalive():
            child.terminate(force=True)


class Console:
    """The board's console as an operator sees it: output lines end in CR LF on a terminal."""

    def __init__(self, child):
        self.child = child

    def line(self, text):
        self.child.expect_exact(text + "\r\n")

    def prompt(self, text):
        self.child.expect_exact(text)

    def enter(self, text=""):
        self.child.send(text + "\r")

    def interrupt(self):
        """Ctrl-C, once the launcher waits in its read of the console. A SIGINT that came just
        before the read would only raise the flag and leave the read waiting, as on the board."""
        self.wait_for_console_read()
        self.child.sendintr()

    def wait_for_console_read(self):
        wait_for_console_read(self.child.pid)

    def answer(self, keys):
        """One answer, once the launcher waits for its first key: all its keys in one write, as
        a terminal program sends a paste or a key's sequence, so that none arrives while the
        console is back in its own line mode between two keys."""
        self.wait_for_console_read()
        self.child.send(keys)

    def keys(self, text):
        """Types keys one by one, as a person does (the launcher reads single keys)."""
        for key in text:
            self.child.send(key)
            time.sleep(0.002)

    def wait_for_line_settings(self, download):
        """Waits until the serial line is at the download settings (raw, 115200 bit/s) or back
        at the console's own: a person switches the terminal program only after the board's
        message, and an Enter typed before the switch is flushed away with the line's input."""
        number = struct.unpack("I", fcntl.ioctl(self.child.child_fd, TIOCGPTN,
                                                 b"\0" * 4))[0]
        slave = os.open(f"/dev/pts/{number}", os.O_RDWR | os.O_NOCTTY)
        try:
            deadline = time.monotonic() + TIMEOUT
            while time.monotonic() < deadline:
                attrs = termios.tcgetattr(slave)
                raw = attrs[4] == termios.B115200 and not attrs[3] & termios.ICANON
                if raw == download:
                    return
                time.sleep(0.02)
        finally:
            os.close(slave)
        raise AssertionError("the serial line was never switched")

    def xmodem_send(self, path, *options):
        """lrzsz's sx sends the file from the far end of the line, with a relay in between: on
        pipes, not a terminal, so that neither sx's settings nor a terminal's echo of what the
        board prints can land on the board's line. sx's status and its errors."""
        to_sx, from_board = os.pipe()
        to_board, from_sx = os.pipe()
        sender = subprocess.Popen(["timeout", "120", "sx", *options, str(path)], stdin=to_sx,
                                  stdout=from_sx, stderr=subprocess.PIPE)
        os.close(to_sx)
        os.close(from_sx)
        line = self.child.child_fd
        while sender.poll() is None:
            for fd in select.select([to_board, line], [], [], 0.05)[0]:
                with contextlib.suppress(OSError):
                    os.write(line if fd == to_board else from_board, os.read(fd, 4096))
        os.close(to_board)
        os.close(from_board)
        return sender.returncode, sender.stderr.read().decode(errors="replace")

    def finish(self):
        """Waits for `mpboard run` to end; its exit status (the launcher's)."""
        self.child.expect(pexpect.EOF)
        rest = self.child.before
        self.child.close()
        self.child.logfile_read.close()
        assert self.child.signalstatus is None, f"mpboard ended by signal {self.child.signalstatus}"
        return self.child.exitstatus, rest


def wait_for_console_read(root):
    """Until the launcher below process root waits in its read of the console."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        for pid in descendants(root):
            try:
                name = Path(f"/proc/{pid}/comm").read_text().strip()
                syscall = Path(f"/proc/{pid}/syscall").read_text().split()
            except OSError:
                continue
            # x86-64 read(2) is system call 0; its first argument the descriptor.
            if name.startswith("mplaunch") and syscall[:2] == ["0", "0x0"]:
                return
        time.sleep(0.01)
    raise AssertionError("the launcher never waited for the console")


def descendants(root):
    """Host PIDs of the processes below root (the board's jail and the launcher in it)."""
    children = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                stat = (entry / "stat").read_text()
            except OSError:
                continue
            ppid = int(stat.rsplit(")", 1)[1].split()[1])
            children.setdefault(ppid, []).append(int(entry.name))
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def pristine_vpd(image=1, booted=0xFF):
    """The EEPROM of a new board, with the slot byte and the booted-slot byte given."""
    vpd = {offset: 0xFF for offset in range(256)}
    vpd[VPD_IMAGE], vpd[VPD_BOOTED] = image, booted
    return vpd


@pytest.fixture(scope="session")
def templates():
    """Boards made once per session by `mpboard create` and copied for each test: creating a board
    syncs every file it writes, copying one does not need to."""
    made = {}

    def template(name, fill):
        if name not in made:
            board = Board(WORK / "templates" / name)
            if board.path.exists():
                shutil.rmtree(board.path)
            board.path.parent.mkdir(parents=True, exist_ok=True)
            fill(board)
            made[name] = board.path
        return made[name]

    return template


def make_demo(board):
    board.mpboard("create", "--demo")


def make_test_board(board):
    make_demo(board)
    board.slot(1, application("1.1.1.1"))
    board.slot(2, application("2.2.2.2"))
    board.flash("rescue", diagnostics("4.4.4.4"))


@pytest.fixture
def new_board(request, templates):
    """Makes boards in a fresh directory named after the test, under the build tree."""
    base = WORK / re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name)[:80]
    if base.exists():
        shutil.rmtree(base)
    base.mkdir(parents=True)
    count = []

    def make(fill=make_demo):
        count.append(1)
        board = Board(base / f"board{len(count)}")
        shutil.copytree(templates(fill.__name__, fill), board.path, symlinks=True)
        return board

    return make


@pytest.fixture
def board(new_board):
    """A demo board: slot 1 and slot 2 hold demo applications, the rescue partition diagnostics."""
    return new_board()


@pytest.fixture
def test_board(new_board):
    """A demo board whose slots hold this suite's own packages: 1.1.1.1 in slot 1, 2.2.2.2 in
    slot 2, and diagnostics 4.4.4.4 in the rescue partition."""
    return new_board(make_test_board)


RECOVERY = application("7.7.7.7")


@pytest.fixture
def rescue_board(test_board):
    """The test board with both slots gone and a recovery application in the rescue partition."""
    test_board.slot(1, None)
    test_board.slot(2, None)
    test_board.flash("rescue", RECOVERY)
    return test_board


PPC_LAUNCHER = os.environ.get("MPBOARD_PPC_LAUNCHER", "")


@pytest.fixture
def ppc_ready():
    if not PPC_LAUNCHER or not Path(PPC_LAUNCHER).is_file():
        pytest.skip(f"no static powerpc mplaunch-sandbox (MPBOARD_PPC_LAUNCHER='{PPC_LAUNCHER}'); "
                    "scripts/test builds it in build/ppc-static/")


def reach_question(board):
    console = board.console()
    console.line("Booting image '1'")
    console.prompt(RESCUE_QUESTION)
    return console


def rescue_mode(board):
    """The board with the rescue menu switched on in its boot settings."""
    board.env("diagnostics=rescue")
    return board


# ---- The network peer of a board: a namespace of its own with a TFTP server in it -------------

TFTPD = os.environ.get("MP_TFTPD", "")
PEER_ADDR, BOARD_ADDR = "10.77.0.1", "10.77.0.2"


def ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True, timeout=30)


class PeerNetwork:
    """A network namespace made by the test: one veth end in it with PEER_ADDR, the other put
    into a running board's namespace as its eth1. Nothing touches the host's interfaces."""

    def __init__(self, tag):
        self.board_ns = f"mpb-{tag}"
        self.ns = f"mpp-{tag}"
        self.servers = []
        ip("netns", "add", self.ns)
        ip("-n", self.ns, "link", "set", "lo", "up")

    def attach(self, serve=None):
        """Once `mpboard run --netns` has pinned the board's namespace: its eth1, and, when
        `serve` names a directory, tftpd-hpa serving it on PEER_ADDR:69 inside the namespace."""
        deadline = time.monotonic() + TIMEOUT
        while not Path("/run/netns", self.board_ns).exists():
            assert time.monotonic() < deadline, "the board's network namespace never appeared"
            time.sleep(0.02)
        ip("-n", self.ns, "link", "add", "peer0", "type", "veth", "peer", "name", "eth1",
           "netns", self.board_ns)
        ip("-n", self.ns, "addr", "add", f"{PEER_ADDR}/24", "dev", "peer0")
        ip("-n", self.ns, "link", "set", "peer0", "up")
        if serve is None:
            return
        os.chmod(serve, 0o755)
        for f in Path(serve).iterdir():
            os.chmod(f, 0o644)
        server = subprocess.Popen(["ip", "netns", "exec", self.ns, TFTPD, "-L", "-l", "-4",
                                   "-a", f"{PEER_ADDR}:69", "-s", str(serve)],
                                  stdin=subprocess.DEVNULL)
        self.servers.append(server)
        while ":69 " not in subprocess.run(["ip", "netns", "exec", self.ns, "ss", "-Hlun"],
                                            capture_output=True, text=True).stdout:
            assert server.poll() is None and time.monotonic() < deadline, "tftpd did not start"
            time.sleep(0.02)

    def board_addresses(self):
        """What the board's eth1 carries now, as `ip` shows it."""
        out = subprocess.run(["ip", "-n", self.board_ns, "-4", "-o", "addr", "show", "eth1"],
                             capture_output=True, text=True).stdout
        return re.findall(r"inet (\S+)", out)

    def close(self):
        for server in self.servers:
            server.terminate()
            server.wait(timeout=10)
        # A board that was killed could not remove its namespace's name itself.
        for ns in (self.ns, self.board_ns):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


@pytest.fixture
def peer_network(request):
    if os.geteuid() != 0:
        pytest.skip("network namespaces for a board need root")
    if not os.access(TFTPD, os.X_OK):
        pytest.skip("no TFTP server unpacked (MP_TFTPD)")
    network = PeerNetwork(f"{os.getpid()}-{abs(hash(request.node.name)) % 10000}")
    yield network
    network.close()


def pytest_sessionfinish(session, exitstatus):
    """A group whose every test was skipped (the powerpc launcher not built) ends with status 77,
    which ctest reports as not run rather than passed."""
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is None or exitstatus != 0:
        return
    stats = reporter.stats
    if stats.get("skipped") and not stats.get("passed") and not stats.get("failed"):
        session.exitstatus = 77
