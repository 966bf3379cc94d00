"""Image records, packages and tarballs as the board reads them, written byte by byte with struct,
zlib and tarfile rather than by mpimage, so that a fault shared by the project's writer and reader
cannot hide; a reader of packages; and the network peer of a sandbox board (a namespace of its own
with tftpd-hpa in it). Every test, the campaign, the benchmarks and the demo use this one module.

A record: big-endian crc, len, magic, id (16 bytes; an extended header carries its length in
bytes 18..19), then len payload bytes. The crc is the board's CRC register over everything after
the crc word: zlib's CRC-32 without the final inversion."""

import collections
import gzip
import io
import os
import struct
import subprocess
import tarfile
import termios
import time
import zlib
from pathlib import Path

APPLICATION, BOOT, KERNEL, RFS, DFT, DIAGS = (n << 24 | 0x504F4C for n in range(1, 7))
EXTENDED = 0x80000000


def board_crc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


def version_id(version):
    """'a.b.c.d' (or an id already) as the 32-bit id, most significant byte first."""
    if isinstance(version, int):
        return version
    a, b, c, d = (int(x) for x in version.split("."))
    return a << 24 | b << 16 | c << 8 | d


def version_text(version_id):
    return ".".join(str(version_id >> s & 0xFF) for s in (24, 16, 8, 0))


def record(magic, payload, version=0, hdrlen=None, bad_crc=False, length=None):
    """One record. An extended magic takes hdrlen (bytes 16..17 hold a marker the reader must not
    take for the length); length overrides the len field; bad_crc flips one bit of the crc."""
    body = struct.pack(">III", len(payload) if length is None else length, magic,
                       version_id(version))
    if magic & EXTENDED:
        body += struct.pack(">HH", 0xA5A5, hdrlen) + b"\xee" * max(hdrlen - 20, 0)
    body += payload
    return struct.pack(">I", board_crc(body) ^ (0x10000 if bad_crc else 0)) + body


def damaged(data, at=-1):
    """The bytes with one changed, as a bad flash cell or a torn download leaves them."""
    data = bytearray(data)
    data[at] ^= 0x5A
    return bytes(data)


def tarball(files):
    """A gzip'ed tar archive of {path: bytes or (bytes, mode)}; mode 0755 unless given."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, data in files.items():
            data, mode = data if isinstance(data, tuple) else (data, 0o755)
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = len(data), mode, 0
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue(), mtime=0)


def app_line(version):
    return f"test application {version_text(version_id(version))} running"


def diag_line(version):
    return f"test diagnostics {version_text(version_id(version))} running"


def application(version, script=None, extra=None):
    """An application record whose program (by default) names its version, its arguments and
    LD_PRELOAD; extra: more files for the tarball."""
    script = script or (f'echo "{app_line(version)}"\n'
                        'echo "args=[$*] LD_PRELOAD=[${LD_PRELOAD:-}]"\n')
    files = {"home/bin/mp.elf.strip": ("#!/bin/sh\n" + script).encode(), **(extra or {})}
    return record(APPLICATION, tarball(files), version)


def diagnostics(version, extra=None):
    files = {"mpdiag.elf.strip": f'#!/bin/sh\necho "{diag_line(version)}"\n'.encode(),
             **(extra or {})}
    return record(DIAGS, tarball(files), version)


def boot_loader(payload, version):
    """A boot loader's payload with the copy of its header at byte 240 (crc word 0), where the
    installer's version check reads it back from the partition."""
    data = bytearray(payload)
    data[240:256] = struct.pack(">IIII", 0, len(data), BOOT, version_id(version))
    return bytes(data)


Record = collections.namedtuple("Record", "offset magic version hdrlen length header payload crc_ok")


def records(data):
    """The records of a package, walked as the board walks them (20-byte probes)."""
    found, pos = [], 0
    while len(data) - pos >= 20:
        crc, length, magic, version = struct.unpack_from(">IIII", data, pos)
        hdr = struct.unpack_from(">H", data, pos + 18)[0] if magic & EXTENDED else 16
        end = pos + hdr + length
        if hdr < 16 or end <= pos:
            break
        found.append(Record(pos, magic, version, hdr, length, data[pos:pos + hdr],
                            data[pos + hdr:end],
                            end <= len(data) and board_crc(data[pos + 4:end]) == crc))
        pos = end
    return found


def wait_for_line_settings(slave_fd, download, timeout=30):
    """Until the serial line (a pty's slave) is at the download settings (raw, 115200 bit/s) or
    back at the console's: a person switches the terminal program only after the board's
    message, and an Enter typed before the switch is flushed away with the line's input."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        attrs = termios.tcgetattr(slave_fd)
        if (attrs[4] == termios.B115200 and not attrs[3] & termios.ICANON) == download:
            return
        time.sleep(0.005)
    raise AssertionError("the board never switched its serial line")


def descendants(root):
    """Host PIDs of the processes below root (a board's jail and what runs in it)."""
    children = {}
    for entry in Path("/proc").glob("[0-9]*"):
        try:
            ppid = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(ppid, []).append(int(entry.name))
    found, todo = [], [root]
    while todo:
        kids = children.get(todo.pop(), [])
        found += kids
        todo += kids
    return found


# ---- The network peer of a board --------------------------------------------------------------

def ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True, timeout=30)


class PeerNetwork:
    """A network namespace of the caller's own: one veth end in it at `address`, the other put
    into a running board's namespace (`mpboard run --netns board_ns`) as its eth1, and tftpd-hpa
    serving a directory there on demand. Nothing touches the host's interfaces."""

    def __init__(self, board_ns, peer_ns, address="10.77.0.1", timeout=30):
        self.board_ns, self.ns, self.address, self.timeout = board_ns, peer_ns, address, timeout
        self.servers = []
        for ns in (peer_ns, board_ns):  # left by a run that was killed
            ip("netns", "del", ns, check=False)
        ip("netns", "add", peer_ns)
        ip("-n", peer_ns, "link", "set", "lo", "up")

    def wait(self, test, what):
        deadline = time.monotonic() + self.timeout
        while not test():
            if time.monotonic() > deadline:
                raise AssertionError(f"{what} did not happen within {self.timeout} s")
            time.sleep(0.02)

    def attach(self, serve=None, tftpd=None):
        """Once the board has pinned its namespace: its eth1, and tftpd serving `serve`."""
        self.wait(lambda: Path("/run/netns", self.board_ns).exists(), "the board's namespace")
        ip("-n", self.ns, "link", "add", "peer0", "type", "veth", "peer", "name", "eth1",
           "netns", self.board_ns)
        ip("-n", self.ns, "addr", "add", f"{self.address}/24", "dev", "peer0")
        ip("-n", self.ns, "link", "set", "peer0", "up")
        if serve is None:
            return
        os.chmod(serve, 0o755)
        for f in Path(serve).iterdir():
            os.chmod(f, 0o644)
        server = subprocess.Popen(["ip", "netns", "exec", self.ns, tftpd, "-L", "-l", "-4",
                                   "-a", f"{self.address}:69", "-s", str(serve)],
                                  stdin=subprocess.DEVNULL)
        self.servers.append(server)
        self.wait(lambda: server.poll() is not None or
                  ":69 " in ip("netns", "exec", self.ns, "ss", "-Hlun").stdout, "tftpd's start")
        assert server.poll() is None, f"tftpd ended at once (status {server.returncode})"

    def board_ip(self, *args):
        return ip("-n", self.board_ns, "-4", "-o", *args).stdout

    def close(self):
        for server in self.servers:
            server.terminate()
            server.wait(timeout=10)
        # A board that was killed could not remove its namespace's name itself.
        for ns in (self.ns, self.board_ns):
            ip("netns", "del", ns, check=False)
