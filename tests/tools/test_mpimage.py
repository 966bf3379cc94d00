"""mpimage run as a user runs it.

The packages that mpimage reads are written here with struct and zlib, not by mpimage, so a fault
shared by its reader and its writer cannot hide. Every run has a time limit and an address-space
limit: a hang or a huge allocation on hostile lengths fails the test.
"""

import json
import os
import resource
import struct
import subprocess
import zlib

import pytest

MPIMAGE = os.environ.get("MPIMAGE", "mpimage")

APPLICATION, BOOT, KERNEL, RFS, DFT, DIAGS = (n << 24 | 0x504F4C for n in range(1, 7))
EXTENDED = 0x80000000
NAMES = {APPLICATION: "application", BOOT: "boot", KERNEL: "kernel", RFS: "rfs", DFT: "dft",
         DIAGS: "diags"}
JSON_KEYS = ("offset", "type", "magic", "extended", "header_length", "len", "version", "crc_ok")


def board_crc(data):
    """The board's CRC register: zlib's CRC-32 without the final inversion."""
    return zlib.crc32(data) ^ 0xFFFFFFFF


def record(magic, payload, version=0, hdrlen=None, reserved=b"", bad_crc=False, length=None):
    body = struct.pack(">III", len(payload) if length is None else length, magic, version)
    if magic & EXTENDED:
        extra = struct.pack(">HH", 0x5A5A, hdrlen) + reserved
        body += extra + b"\0" * (hdrlen - 20 - len(reserved))
    body += payload
    crc = board_crc(body) ^ (0xFFFFFFFF if bad_crc else 0)
    return struct.pack(">I", crc) + body


# The sanitizer build reserves terabytes of shadow address space, so there the allocator's own
# limit stands in for the address-space limit.
SANITIZED = os.environ.get("MPIMAGE_SANITIZED") == "1"
if SANITIZED:
    os.environ["ASAN_OPTIONS"] = "max_allocation_size_mb=256:allocator_may_return_null=0"


def limit_memory():
    if not SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))


def run(*args, check=None):
    proc = subprocess.run([MPIMAGE, *map(str, args)], capture_output=True, text=True,
                          timeout=30, preexec_fn=limit_memory)
    if check is not None:
        assert proc.returncode == check, (proc.returncode, proc.stdout, proc.stderr)
    return proc


def listing(path, check=0):
    proc = run("list", path, "--json", check=check)
    return json.loads(proc.stdout), proc


@pytest.fixture
def write(tmp_path):
    def _write(name, data):
        path = tmp_path / name
        path.write_bytes(data)
        return path
    return _write


def test_list_json_describes_every_record(write):
    boot = record(BOOT, bytes(range(256)) * 2, 0x02000105)
    kern = record(KERNEL | EXTENDED, b"K" * 100, 0x01020304, hdrlen=32, reserved=b"\xee" * 12)
    odd = record(0x0BADCAFE, b"unknown but intact", 7)
    app = record(APPLICATION, b"\x1f\x8b" + b"a" * 5000, 0xFFFEFDFC)
    pkg = write("pkg", boot + kern + odd + app)
    records, proc = listing(pkg)
    assert proc.stderr == ""
    assert [set(r) for r in records] == [set(JSON_KEYS)] * 4
    offsets = [0, len(boot), len(boot + kern), len(boot + kern + odd)]
    assert [tuple(r[k] for k in JSON_KEYS) for r in records] == [
        (offset, *fields, True) for offset, fields in zip(offsets, [
            ("boot", BOOT, False, 16, 512, "2.0.1.5"),
            ("kernel", KERNEL | EXTENDED, True, 32, 100, "1.2.3.4"),
            ("unknown", 0x0BADCAFE, False, 16, 18, "0.0.0.7"),
            ("application", APPLICATION, False, 16, 5002, "255.254.253.252")])]
    run("verify", pkg, check=0)

    text = run("list", pkg, check=0).stdout.splitlines()
    assert len(text) == 5
    assert text[2].split()[:7] == ["1", str(len(boot)), "kernel", "0x83504f4c", "yes", "32", "100"]
    assert text[3].split()[2] == "unknown" and text[3].split()[-1] == "ok"


def test_damaged_crc_is_named_with_offset_and_fails(write):
    good = record(KERNEL, b"k" * 64)
    bad = record(RFS, b"r" * 64, bad_crc=True)
    pkg = write("pkg", good + bad + good)
    records, proc = listing(pkg, check=1)
    assert [r["crc_ok"] for r in records] == [True, False, True]
    assert f"record 1 at offset {len(good)}" in proc.stderr
    proc = run("verify", pkg, check=1)
    assert f"{pkg}: record 1 at offset {len(good)}" in proc.stderr
    assert "CRC mismatch" in proc.stderr and "type rfs" in proc.stderr
    assert proc.stdout == ""


@pytest.mark.parametrize("tail", [b"\x00", record(RFS, b""), b"\xff" * 20,
                                  b"garbage after the last record, not a header at all"])
def test_tail_after_the_last_record(write, tail):
    """Shorter than a header probe it is ignored with a warning; longer, one more damaged record."""
    app = record(APPLICATION, b"a" * 100)
    pkg = write("pkg", app + tail)
    if len(tail) >= 20:
        records, _ = listing(pkg, check=1)
        assert [(r["offset"], r["crc_ok"]) for r in records] == [(0, True), (len(app), False)]
        assert f"record 1 at offset {len(app)}" in run("verify", pkg, check=1).stderr
        return
    records, proc = listing(pkg, check=0)
    assert len(records) == 1
    assert f"{len(tail)} trailing byte" in proc.stderr and f"offset {len(app)}" in proc.stderr
    assert "verify" not in proc.stdout
    assert run("verify", pkg, check=0).stderr != ""
    run("verify", pkg, "--strict", check=1)


def test_truncated_packages(write):
    pkg = record(DIAGS, b"d" * 4000) + record(APPLICATION, b"a" * 4000)
    for cut in (len(pkg) - 1, len(pkg) - 3990, 4016 + 20):
        records, proc = listing(write("cut", pkg[:cut]), check=1)
        assert len(records) == 2 and records[1]["crc_ok"] is False
        assert "truncated" in proc.stderr and "offset 4016" in proc.stderr
    # Cut inside the second record's probe: the second record is not seen at all.
    records, proc = listing(write("cut", pkg[:4016 + 19]), check=0)
    assert len(records) == 1 and "19 trailing bytes" in proc.stderr
    # Nothing readable at all.
    for data in (b"", pkg[:19]):
        proc = run("verify", write("tiny", data), check=1)
        assert "no record" in proc.stderr


@pytest.mark.parametrize("header, reason", [
    (struct.pack(">IIII", 0, 0xFFFFFFF0, KERNEL, 0) + b"\0" * 4, "record length is 0"),
    (struct.pack(">IIIIHH", 0, 0, KERNEL | EXTENDED, 0, 0, 0), "below 20"),
    (struct.pack(">IIIIHH", 0, 64, APPLICATION | EXTENDED, 0, 0, 19), "below 20"),
    (struct.pack(">IIIIHH", 0, 0xFFFFFFFF, APPLICATION | EXTENDED, 0, 0, 20), "32 bits"),
    (struct.pack(">IIIIHH", 0, 0xFFFFFFF0, DIAGS | EXTENDED, 0, 0, 0xFFFF), "32 bits"),
])
def test_lengths_that_break_the_format_end_the_walk(write, header, reason):
    app = record(APPLICATION, b"a" * 100)
    pkg = write("pkg", app + header + app)
    records, proc = listing(pkg, check=1)
    assert len(records) == 2
    assert records[1]["crc_ok"] is False
    assert reason in proc.stderr and "walk ends" in proc.stderr
    proc = run("verify", pkg, check=1)
    assert f"record 1 at offset {len(app)}" in proc.stderr and reason in proc.stderr
    assert run("extract", pkg, 1, pkg.parent / "out", "--force", check=1)
    assert not (pkg.parent / "out").exists()


def test_huge_lengths_cost_nothing(write):
    # len 4 GiB - 17: a record length of 4 GiB - 1 in a tiny file. The address-space limit of
    # every run catches a reader that would allocate it.
    pkg = write("pkg", struct.pack(">IIII", 0, 0xFFFFFFEF, APPLICATION, 0) + b"x" * 100)
    records, proc = listing(pkg, check=1)
    assert len(records) == 1 and records[0]["len"] == 0xFFFFFFEF
    assert "truncated" in proc.stderr
    run("verify", pkg, check=1)
    run("extract", pkg, 0, pkg.parent / "out", check=1)
    assert not (pkg.parent / "out").exists()


def test_bad_invocations_and_unreadable_files(tmp_path, write):
    pkg = write("pkg", record(KERNEL, b"k" * 30))
    assert run("verify", tmp_path / "missing", check=2).stderr.count(str(tmp_path / "missing")) == 1
    run("verify", tmp_path, check=2)
    run("list", check=2)
    run("list", pkg, "--yaml", check=2)
    run("frobnicate", check=2)
    run(check=2)
    run("extract", pkg, "x", tmp_path / "out", check=2)
    proc = run("extract", pkg, 1, tmp_path / "out", check=2)
    assert "no record 1" in proc.stderr
    for command in ("create", "list", "verify", "extract"):
        proc = run(command, "--help", check=0)
        assert proc.stdout.startswith(f"usage: mpimage {command}")
    assert "create" in run("--help", check=0).stdout


def test_extract_writes_the_payload_and_refuses_damaged_records(tmp_path, write):
    payload = bytes(range(256)) * 9
    pkg = write("pkg", record(DFT, b"dft!" * 10) +
                record(APPLICATION | EXTENDED, payload, hdrlen=40) +
                record(KERNEL, b"kernel" * 10, bad_crc=True))
    out = tmp_path / "app.tar.gz"
    run("extract", pkg, 1, out, check=0)
    assert out.read_bytes() == payload
    run("extract", pkg, 0, out, check=0)
    assert out.read_bytes() == b"dft!" * 10

    damaged = tmp_path / "kernel.bin"
    proc = run("extract", pkg, 2, damaged, check=1)
    assert "CRC mismatch" in proc.stderr and not damaged.exists()
    run("extract", pkg, 2, damaged, "--force", check=1)
    assert damaged.read_bytes() == b"kernel" * 10
    assert [p.name for p in tmp_path.iterdir() if "partial" in p.name] == []


def parse(data):
    """Independent reader: the records of a package as dicts."""
    out, pos = [], 0
    while len(data) - pos >= 20:
        crc, length, magic, version = struct.unpack_from(">IIII", data, pos)
        hdr = struct.unpack_from(">H", data, pos + 18)[0] if magic & EXTENDED else 16
        end = pos + hdr + length
        out.append(dict(offset=pos, magic=magic, version=version, hdrlen=hdr, header=data[pos:pos + hdr],
                        payload=data[pos + hdr:end], crc_ok=board_crc(data[pos + 4:end]) == crc))
        pos = end
    assert pos == len(data)
    return out


def test_create_writes_records_a_reader_accepts(tmp_path, write):
    app = write("app.tgz", b"\x1f\x8b" + os.urandom(70000))
    kern = write("vmlinux", os.urandom(3000))
    boot = write("u-boot.bin", bytes(range(256)) * 4)
    pkg = tmp_path / "release.pkg"
    run("create", pkg,
        "--type", "boot", "--version", "2.0.1.5", "--payload", boot,
        "--type", "kernel", "--version", "1.2.3.4", "--payload", kern, "--extended",
        "--type", "0x0BADCAFE", "--payload", kern, "--hdrlen", "48",
        "--type", "application", "--version", "255.0.0.1", "--payload", app,
        check=0)
    recs = parse(pkg.read_bytes())
    assert [r["magic"] for r in recs] == [BOOT, KERNEL | EXTENDED, 0x0BADCAFE | EXTENDED,
                                          APPLICATION]
    assert [r["hdrlen"] for r in recs] == [16, 20, 48, 16]
    assert [r["version"] for r in recs] == [0x02000105, 0x01020304, 0, 0xFF000001]
    assert all(r["crc_ok"] for r in recs)
    assert recs[1]["payload"] == kern.read_bytes() and recs[3]["payload"] == app.read_bytes()
    assert recs[2]["header"][16:] == b"\0\0\0\x30" + b"\0" * 28
    assert recs[1]["header"][16:] == b"\0\0\0\x14"

    # The boot loader carries len, magic and id of its own header at payload byte 240, where the
    # installer's version check reads them back from flash; the copy's crc word is 0.
    boot_payload = recs[0]["payload"]
    assert boot_payload[240:244] == b"\0\0\0\0"
    assert boot_payload[244:256] == recs[0]["header"][4:16]
    assert boot_payload[:240] + boot_payload[256:] == (boot.read_bytes()[:240] +
                                                       boot.read_bytes()[256:])

    run("verify", pkg, check=0)
    assert [r["type"] for r in listing(pkg)[0]] == ["boot", "kernel", "unknown", "application"]


def test_create_bad_crc_and_extended_boot_record(tmp_path, write):
    boot = write("u-boot.bin", b"\xab" * 300)
    pkg = tmp_path / "demo.pkg"
    run("create", pkg, "--type", "boot", "--hdrlen", "24", "--payload", boot,
        "--type", "diags", "--payload", boot, "--bad-crc", check=0)
    recs = parse(pkg.read_bytes())
    assert [r["crc_ok"] for r in recs] == [True, False]
    assert recs[0]["payload"][244:256] == recs[0]["header"][4:16]
    assert struct.unpack(">I", recs[0]["payload"][248:252])[0] == BOOT | EXTENDED
    run("verify", pkg, check=1)


@pytest.mark.parametrize("args, message", [
    (["--type", "boot", "--payload", "small"], "at least 256"),
    (["--type", "kernel", "--payload", "tiny"], "at least 20"),
    (["--type", "kernel", "--hdrlen", "19", "--payload", "small"], "20..65535"),
    (["--type", "0x83504F4C", "--payload", "small"], "bit 31"),
    (["--type", "firmware", "--payload", "small"], "unknown record type"),
    (["--type", "kernel", "--version", "1.2.3", "--payload", "small"], "bad version"),
    (["--type", "kernel"], "no --payload"),
    (["--payload", "small"], "before the first --type"),
    (["--type", "kernel", "--payload", "absent"], "absent: cannot open"),
    ([], "at least one record"),
])
def test_create_refuses_and_writes_nothing(tmp_path, write, args, message):
    write("small", b"s" * 255)
    write("tiny", b"abc")
    out = tmp_path / "out.pkg"
    proc = subprocess.run([MPIMAGE, "create", str(out), *args], capture_output=True, text=True,
                          timeout=30, cwd=tmp_path)
    assert proc.returncode == 2, proc.stderr
    assert message in proc.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["small", "tiny"]


def test_tiny_record_inside_a_package_is_fine(tmp_path, write):
    write("tiny", b"abc")
    write("big", b"B" * 100)
    pkg = tmp_path / "pkg"
    run("create", pkg, "--type", "dft", "--payload", tmp_path / "tiny",
        "--type", "kernel", "--payload", tmp_path / "big", check=0)
    records, _ = listing(pkg)
    assert [(r["offset"], r["len"]) for r in records] == [(0, 3), (19, 100)]
