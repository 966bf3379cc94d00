"""Packages written and read apart from mpimage (a fault its writer and reader share cannot
hide)."""

import collections, contextlib, gzip, io, os, select, struct, subprocess, tarfile  # noqa: E401
import termios, time, zlib  # noqa: E401
from pathlib import Path

APPLICATION, BOOT, KERNEL, RFS, DFT, DIAGS = (n << 24 | 0x504F4C for n in range(1, 7))
EXTENDED = 0x80000000
Record = collections.namedtuple("Record",
                                "offset magic version hdrlen length header payload crc_ok")


def board_crc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


def version_id(version):
    return version if isinstance(version, int) else int.from_bytes(
        bytes(map(int, version.split("."))), "big")


def version_text(version_id):
    return ".".join(str(b) for b in version_id.to_bytes(4, "big"))


def record(magic, payload, version=0, hdrlen=None, bad_crc=False, length=None):
    body = struct.pack(">III",
                       len(payload) if length is None else length, magic, version_id(version))
    if magic & EXTENDED:
        body += struct.pack(">HH", 0xA5A5, hdrlen) + b"\xee" * max(hdrlen - 20, 0)
    return struct.pack(">I", board_crc(body + payload) ^ (0x10000 * bad_crc)) + body + payload


def damaged(data, at=-1):
    return data[:at % len(data)] + bytes([data[at] ^ 0x5A]) + data[at % len(data) + 1:]


def tarball(files):  # {path: bytes or (bytes, mode)}
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, data in files.items():
            data, mode = data if isinstance(data, tuple) else (data, 0o755)
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue(), mtime=0)


def app_line(version, kind="application"):
    return f"test {kind} {version_text(version_id(version))} running"


def application(version, script=None, extra=None):
    script = script or (f'echo "{app_line(version)}"\n'
                        'echo "args=[$*] LD_PRELOAD=[${LD_PRELOAD:-}]"\n')
    files = {"home/bin/mp.elf.strip": ("#!/bin/sh\n" + script).encode(), **(extra or {})}
    return record(APPLICATION, tarball(files), version)


def diagnostics(version, extra=None):
    script = f'#!/bin/sh\necho "{app_line(version, "diagnostics")}"\n'.encode()
    return record(DIAGS, tarball({"mpdiag.elf.strip": script, **(extra or {})}), version)


def boot_loader(payload, version):  # a copy of its header (crc 0) at byte 240 holds the version
    return payload[:240] + struct.pack(">IIII", 0, len(payload), BOOT,
                                       version_id(version)) + payload[256:]


def records(data):
    found, pos = [], 0
    while len(data) - pos >= 20:
        crc, length, magic, version, hdr = struct.unpack_from(">IIIIxxH", data, pos)
        hdr = hdr if magic & EXTENDED else 16
        end = pos + hdr + length
        if hdr < 16 or end <= pos:
            break
        found.append(
            Record(pos, magic, version, hdr, length, data[pos:pos + hdr], data[pos + hdr:end],
                   end <= len(data) and board_crc(data[pos + 4:end]) == crc))
        pos = end
    return found


def until(test, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not test():
        assert time.monotonic() < deadline, f"{what} did not happen within {timeout} s"
        time.sleep(0.005)


def wait_for_line_settings(tty_fd, download, timeout=30,
                           enter_every=None):  # raw at 115200 bit/s or back
    typed = [time.monotonic()
             ]  # (an Enter sooner is flushed); enter_every: Enter typed at that interval meanwhile

    def switched():
        if enter_every and time.monotonic() - typed[0] >= enter_every:
            os.write(tty_fd, b"\r")
            typed[0] = time.monotonic()
        return (termios.tcgetattr(tty_fd)[4] == termios.B115200
                and not termios.tcgetattr(tty_fd)[3] & termios.ICANON) == download

    until(switched, "the board's switch of its serial line", timeout)


def xmodem_download(tty_fd, path, *options, timeout=30,
                    enter_every=None):  # sx on a pty's master, by a relay that
    # keeps the echo from it; enter_every: after sx, Enter at that interval until the line is
    # switched back
    wait_for_line_settings(tty_fd, True, timeout)
    os.write(tty_fd, b"\r")
    (to_sx, from_board), (to_board, from_sx) = os.pipe(), os.pipe()
    sender = subprocess.Popen(
        ["timeout", "120", "sx", *options, str(path)], stdin=to_sx, stdout=from_sx,
        stderr=subprocess.PIPE)
    os.close(to_sx), os.close(from_sx)
    while sender.poll() is None:
        for fd in select.select([to_board, tty_fd], [], [], 0.05)[0]:
            with contextlib.suppress(OSError):
                os.write(tty_fd if fd == to_board else from_board, os.read(fd, 4096))
    os.close(to_board), os.close(from_board)
    assert sender.returncode == 0, sender.stderr.read()
    wait_for_line_settings(tty_fd, False, timeout, enter_every)
    os.write(tty_fd, b"\r")


def descendants(root):
    children = collections.defaultdict(list)
    for entry in Path("/proc").glob("[0-9]*"):
        with contextlib.suppress(OSError, ValueError, IndexError):
            children[int(
                (entry / "stat").read_text().rsplit(")", 1)[1].split()[1])].append(int(entry.name))
    found = list(children[root])
    for pid in found:  # grows as it goes
        found += children[pid]
    return found


def ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True, timeout=30)


# A namespace of our own with a veth end at `address`, the other the board's eth1 (vm: see attach).
class PeerNetwork:

    def __init__(self, board_ns, peer_ns, address="10.77.0.1", timeout=30):
        self.board_ns, self.ns, self.address, self.timeout = board_ns, peer_ns, address, timeout
        self.servers = []
        self.close()  # names left by a run that was killed
        ip("netns", "add", peer_ns)
        ip("-n", peer_ns, "link", "set", "lo", "up")

    def attach(self, serve=None, tftpd=None,
               vm=False):  # once the board pinned its namespace (vm: eth1 is a tap there)
        until(Path("/run/netns", self.board_ns).exists, "the board's namespace", self.timeout)
        ns, dev = (self.board_ns, "eth1") if vm else (self.ns, "peer0")
        if not vm:
            ip("-n", ns, "link", "add", dev, "type", "veth", "peer", "name", "eth1", "netns",
               self.board_ns)
        ip("-n", ns, "addr", "add", f"{self.address}/24", "dev", dev)
        ip("-n", ns, "link", "set", dev, "up")
        if serve is None:
            return
        for f in (Path(serve), *Path(serve).iterdir()):
            os.chmod(f, 0o755 if f.is_dir() else 0o644)
        self.servers.append(server := subprocess.Popen([
            "ip", "netns", "exec", ns, tftpd, "-L", "-l", "-4", "-a", f"{self.address}:69", "-s",
            str(serve)
        ], stdin=subprocess.DEVNULL))
        until(
            lambda: server.poll() is not None or ":69 " in ip("netns", "exec", ns, "ss", "-Hlun").
            stdout, "tftpd's start", self.timeout)
        assert server.poll() is None, f"tftpd ended at once (status {server.returncode})"

    def board_ip(self, *args):
        return ip("-n", self.board_ns, "-4", "-o", *args).stdout

    def close(self):
        for server in self.servers:
            server.terminate()
            server.wait(timeout=10)
        for ns in (self.ns, self.board_ns):  # a killed board could not remove its name itself
            ip("netns", "del", ns, check=False)
