"""mpimage run as a user runs it, on packages written by the independent writer. Every run has a
time limit and an address-space limit: a hang or a huge allocation on hostile lengths fails."""

import json
import os
import resource
import struct
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "pylib"))
from mppackage import (APPLICATION, BOOT, DFT, DIAGS, EXTENDED, KERNEL, RFS,  # noqa: E402
                       record, records)

MPIMAGE = os.environ.get("MPIMAGE", "mpimage")
# The sanitizer build reserves terabytes of shadow memory: there the allocator's own limit stands
# in for the address-space limit.
SANITIZED = os.environ.get("MPIMAGE_SANITIZED") == "1"
os.environ["ASAN_OPTIONS"] = "max_allocation_size_mb=256:allocator_may_return_null=0"


def run(*args, check=None, cwd=None):
    limit = (lambda: None) if SANITIZED else (
        lambda: resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20)))
    proc = subprocess.run([MPIMAGE, *map(str, args)], capture_output=True, text=True, timeout=30,
                          preexec_fn=limit, cwd=cwd)
    assert check is None or proc.returncode == check, proc
    return proc


@pytest.fixture
def put(tmp_path):
    def write(data, name="pkg"):
        (tmp_path / name).write_bytes(data)
        return tmp_path / name
    return write


def test_list_describes_every_record(put):
    boot = record(BOOT, bytes(range(256)) * 2, 0x02000105)
    kern = record(KERNEL | EXTENDED, b"K" * 100, 0x01020304, hdrlen=32)
    odd = record(0x0BADCAFE, b"unknown but intact", 7)
    app = record(APPLICATION, b"\x1f\x8b" + b"a" * 5000, 0xFFFEFDFC)
    pkg = put(boot + kern + odd + app)
    proc = run("list", pkg, "--json", check=0)
    keys = ("offset", "type", "magic", "extended", "header_length", "len", "version", "crc_ok")
    assert proc.stderr == "" and [tuple(r[k] for k in keys) for r in json.loads(proc.stdout)] == [
        (0, "boot", BOOT, False, 16, 512, "2.0.1.5", True),
        (512 + 16, "kernel", KERNEL | EXTENDED, True, 32, 100, "1.2.3.4", True),
        (528 + 132, "unknown", 0x0BADCAFE, False, 16, 18, "0.0.0.7", True),
        (660 + 34, "application", APPLICATION, False, 16, 5002, "255.254.253.252", True)]
    text = run("list", pkg, check=0).stdout.splitlines()
    assert text[2].split()[:7] == ["1", "528", "kernel", "0x83504f4c", "yes", "32", "100"]
    assert len(text) == 5 and text[3].split()[2] == "unknown" and text[3].split()[-1] == "ok"
    run("verify", pkg, check=0)


APP = record(APPLICATION, b"a" * 100)
GOOD = record(KERNEL, b"k" * 64)
TWO = record(DIAGS, b"d" * 4000) + record(APPLICATION, b"a" * 4000)


def probe(length, magic, hdrlen=None):
    return struct.pack(">IIII", 0, length, magic, 0) + (
        b"\0\0" + struct.pack(">H", hdrlen) if hdrlen is not None else b"\0" * 4)


# Package; list's status, what each record's crc_ok says, what stderr names; verify's status.
@pytest.mark.parametrize("data, status, crc_ok, errors, verify", [
    (GOOD + record(RFS, b"r" * 64, bad_crc=True) + GOOD, 1, [1, 0, 1],
     ["record 1 at offset 80", "CRC mismatch", "type rfs"], 1),
    # Shorter than a probe, a tail is ignored with a warning (verify --strict fails on it).
    (APP + b"\x00", 0, [1], ["1 trailing byte", "offset 116"], 0),
    (APP + record(RFS, b""), 0, [1], ["16 trailing bytes"], 0),
    (APP + b"\xff" * 20, 1, [1, 0], ["record 1 at offset 116"], 1),
    (APP + b"garbage after the last record, not a header at all", 1, [1, 0], ["offset 116"], 1),
    (TWO[:-1], 1, [1, 0], ["truncated", "offset 4016"], 1),
    (TWO[:4016 + 20], 1, [1, 0], ["truncated", "offset 4016"], 1),
    (TWO[:4016 + 19], 0, [1], ["19 trailing bytes"], 0),
    (b"", None, [], ["no record"], 1),
    (TWO[:19], None, [], ["no record"], 1),
    # Lengths that break the format end the walk; huge ones cost nothing.
    (APP + probe(0xFFFFFFF0, KERNEL) + APP, 1, [1, 0], ["record length is 0", "walk ends"], 1),
    (APP + probe(0, KERNEL | EXTENDED, 0) + APP, 1, [1, 0], ["below 20", "walk ends"], 1),
    (APP + probe(64, APPLICATION | EXTENDED, 19) + APP, 1, [1, 0], ["below 20"], 1),
    (APP + probe(0xFFFFFFFF, APPLICATION | EXTENDED, 20) + APP, 1, [1, 0], ["32 bits"], 1),
    (APP + probe(0xFFFFFFF0, DIAGS | EXTENDED, 0xFFFF) + APP, 1, [1, 0], ["32 bits"], 1),
    (probe(0xFFFFFFEF, APPLICATION) + b"x" * 96, 1, [0], ["truncated"], 1),
])
def test_damaged_packages(put, data, status, crc_ok, errors, verify):
    pkg = put(data)
    listed = run("list", pkg, "--json", check=status)
    if status is not None:
        assert [r["crc_ok"] for r in json.loads(listed.stdout)] == [bool(c) for c in crc_ok]
    checked = run("verify", pkg, check=verify)
    assert all(e in listed.stderr + checked.stderr for e in errors), (listed, checked)
    assert (checked.stdout == "") == bool(verify) and checked.stderr != ""
    if len(crc_ok) == 1 and status == 0:
        run("verify", pkg, "--strict", check=1)
    if crc_ok[-1:] == [0]:
        run("extract", pkg, len(crc_ok) - 1, pkg.parent / "out", check=1)
        assert not (pkg.parent / "out").exists()


def test_extract(tmp_path, put):
    payload = bytes(range(256)) * 9
    pkg = put(record(DFT, b"dft!" * 10) + record(APPLICATION | EXTENDED, payload, hdrlen=40) +
              record(KERNEL, b"kernel" * 10, bad_crc=True))
    out = tmp_path / "out.bin"
    for index, data in ((1, payload), (0, b"dft!" * 10)):
        run("extract", pkg, index, out, check=0)
        assert out.read_bytes() == data
    assert "CRC mismatch" in run("extract", pkg, 2, tmp_path / "k", check=1).stderr
    assert not (tmp_path / "k").exists()
    run("extract", pkg, 2, tmp_path / "k", "--force", check=1)
    assert (tmp_path / "k").read_bytes() == b"kernel" * 10
    assert "no record 3" in run("extract", pkg, 3, out, check=2).stderr
    assert not [p for p in tmp_path.iterdir() if "partial" in p.name]


def test_create_writes_records_a_reader_accepts(tmp_path, put):
    app, kern = put(b"\x1f\x8b" + os.urandom(70000), "app"), put(os.urandom(3000), "vmlinux")
    boot = put(bytes(range(256)) * 4, "u-boot")
    pkg = tmp_path / "release.pkg"
    run("create", pkg, "--type", "boot", "--version", "2.0.1.5", "--payload", boot,
        "--type", "kernel", "--version", "1.2.3.4", "--payload", kern, "--extended",
        "--type", "0x0BADCAFE", "--payload", kern, "--hdrlen", "48",
        "--type", "application", "--version", "255.0.0.1", "--payload", app,
        "--type", "diags", "--hdrlen", "24", "--payload", boot, "--bad-crc", check=0)
    recs = records(pkg.read_bytes())
    assert [(r.magic, r.hdrlen, r.version, r.crc_ok) for r in recs] == [
        (BOOT, 16, 0x02000105, True), (KERNEL | EXTENDED, 20, 0x01020304, True),
        (0x0BADCAFE | EXTENDED, 48, 0, True), (APPLICATION, 16, 0xFF000001, True),
        (DIAGS | EXTENDED, 24, 0, False)]
    assert (recs[1].payload, recs[3].payload) == (kern.read_bytes(), app.read_bytes())
    assert (recs[1].header[16:], recs[2].header[16:]) == (b"\0\0\0\x14", b"\0\0\0\x30" + b"\0" * 28)
    # The boot loader carries len, magic and id of its own header at payload byte 240, where the
    # installer's version check reads them back from flash; the copy's crc word is 0.
    assert recs[0].payload[240:256] == b"\0" * 4 + recs[0].header[4:16]
    b = boot.read_bytes()
    assert recs[0].payload[:240] + recs[0].payload[256:] == b[:240] + b[256:]
    assert sum(p.name.startswith("release") for p in tmp_path.iterdir()) == 1


@pytest.mark.parametrize("args, message", [
    (["--type", "boot", "--payload", "small"], "at least 256"),
    (["--type", "kernel", "--payload", "tiny"], "at least 20"),
    (["--type", "kernel", "--hdrlen", "19", "--payload", "small"], "20..65535"),
    (["--type", "0x83504F4C", "--payload", "small"], "bit 31"),
    (["--type", "firmware", "--payload", "small"], "unknown record type"),
    (["--type", "kernel", "--version", "1.2.3", "--payload", "small"], "bad version"),
    (["--payload", "small"], "before the first --type"),
    (["--type", "kernel", "--payload", "absent"], "absent: cannot open"),
    ([], "at least one record"),
])
def test_create_refuses_and_writes_nothing(tmp_path, put, args, message):
    put(b"s" * 255, "small"), put(b"abc", "tiny")
    assert message in run("create", "out.pkg", *args, check=2, cwd=tmp_path).stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["small", "tiny"]
    # A tiny record is fine when another record makes the package long enough to probe.
    if message == "at least 20":
        run("create", "out.pkg", *args, "--type", "dft", "--payload", "small", check=0,
            cwd=tmp_path)


# Misuse ends with status 2 and a message; --help of each command shows its usage.
@pytest.mark.parametrize("args, status, shown", [
    (["verify", "missing"], 2, "missing"), (["verify", "."], 2, "."), (["list"], 2, "needs a PACKAGE"),
    (["list", "pkg", "--yaml"], 2, "--yaml"), (["frobnicate"], 2, "frobnicate"), ([], 2, "usage"),
    (["extract", "pkg", "x", "out"], 2, "x"), *[([c, "--help"], 0, f"usage: mpimage {c}")
                                               for c in ("create", "list", "verify", "extract")]])
def test_invocations(tmp_path, put, args, status, shown):
    put(GOOD)
    proc = run(*args, check=status, cwd=tmp_path)
    assert shown in (proc.stdout if status == 0 else proc.stderr)
