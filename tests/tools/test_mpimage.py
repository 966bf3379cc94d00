"""mpimage on the independent writer's packages, time- and memory-limited against hostile
lengths."""

import json, os, resource, struct, subprocess, sys, pytest  # noqa: E401
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "pylib"))
from mppackage import APPLICATION, BOOT, DIAGS, EXTENDED, KERNEL, RFS, record, records  # noqa

# The sanitizer build reserves terabytes of shadow memory: there the allocator's limit stands in.
LIMIT = None if os.environ.get("MPIMAGE_SANITIZED") == "1" else (
    lambda: resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20)))
os.environ["ASAN_OPTIONS"] = "max_allocation_size_mb=256:allocator_may_return_null=0"


def run(*args, check=None, cwd=None):
    proc = subprocess.run([os.environ.get("MPIMAGE", "mpimage"), *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=30, preexec_fn=LIMIT)
    assert check is None or proc.returncode == check, proc
    return proc


def put(tmp_path, data, name="pkg"):
    (tmp_path / name).write_bytes(data)
    return tmp_path / name


def test_list(tmp_path):
    pkg = put(
        tmp_path,
        record(BOOT,
               bytes(range(256)) * 2, 0x02000105) +
        record(KERNEL | EXTENDED, b"K" * 100, 0x01020304, hdrlen=32) +
        record(0x0BADCAFE, b"odd" * 5, 7))
    keys = ("offset", "type", "magic", "extended", "header_length", "len", "version", "crc_ok")
    assert [
        tuple(r[k] for k in keys) for r in json.loads(run("list", pkg, "--json", check=0).stdout)
    ] == [(0, "boot", BOOT, False, 16, 512, "2.0.1.5", True),
          (528, "kernel", KERNEL | EXTENDED, True, 32, 100, "1.2.3.4", True),
          (660, "unknown", 0x0BADCAFE, False, 16, 15, "0.0.0.7", True)]


APP, GOOD = record(APPLICATION, b"a" * 100), record(KERNEL, b"k" * 64)
TWO = record(DIAGS, b"d" * 4000) + record(APPLICATION, b"a" * 4000)


def probe(length, magic, hdrlen=0):
    return struct.pack(">IIIIHH", 0, length, magic, 0, 0, hdrlen)


# Package; list's status (None: none), each record's crc_ok, what stderr names; verify's status.
@pytest.mark.parametrize(
    "data, status, crc_ok, errors, verify",
    [
        (GOOD + record(RFS, b"r" * 64, bad_crc=True) + GOOD, 1, [1, 0, 1
                                                                 ], ["record 1 at offset 80"], 1),
        (APP + b"\x00", 0, [1], ["1 trailing byte", "offset 116"
                                 ], 0),  # verify --strict fails on it
        (APP + b"\xff" * 20, 1, [1, 0], ["record 1 at offset 116"], 1),
        (TWO[:-1], 1, [1, 0], ["truncated", "offset 4016"], 1),
        (b"", None, [], ["no record"], 1),
        (APP + probe(0xFFFFFFF0, KERNEL) + APP, 1, [1, 0], ["record length is 0", "walk ends"], 1),
        (APP + probe(64, APPLICATION | EXTENDED, 19) + APP, 1, [1, 0], ["below 20"], 1),
        (APP + probe(0xFFFFFFF0, DIAGS | EXTENDED, 0xFFFF) + APP, 1, [1, 0], ["32 bits"], 1),
    ])
def test_damaged_packages(tmp_path, data, status, crc_ok, errors, verify):
    pkg = put(tmp_path, data)
    listed, checked = run("list", pkg, "--json", check=status), run("verify", pkg, check=verify)
    if status is not None:
        assert [r["crc_ok"] for r in json.loads(listed.stdout)] == [bool(c) for c in crc_ok]
    assert all(e in listed.stderr + checked.stderr for e in errors), (listed, checked)
    if crc_ok == [1]:
        run("verify", pkg, "--strict", check=1)


def test_create_and_extract(tmp_path):
    app, boot = put(tmp_path, os.urandom(7000), "app"), put(tmp_path, bytes(range(256)) * 4, "boot")
    pkg = tmp_path / "release.pkg"
    run("create", pkg, "--type", "boot", "--version", "2.0.1.5", "--payload", boot, "--type",
        "kernel", "--payload", app, "--extended", "--type", "0x0BADCAFE", "--payload", app,
        "--hdrlen", "48", "--type", "diags", "--payload", boot, "--bad-crc", check=0)
    recs = records(pkg.read_bytes())
    assert [(r.magic, r.hdrlen, r.version, r.crc_ok)
            for r in recs] == [(BOOT, 16, 0x02000105, True), (KERNEL | EXTENDED, 20, 0, True),
                               (0x0BADCAFE | EXTENDED, 48, 0, True), (DIAGS, 16, 0, False)]
    # The boot loader's header copy at payload byte 240, where the installer reads it back.
    assert recs[0].payload == boot.read_bytes(
    )[:240] + b"\0" * 4 + recs[0].header[4:16] + boot.read_bytes()[256:]
    run("extract", pkg, 1, tmp_path / "out", check=0)
    assert (tmp_path / "out").read_bytes() == app.read_bytes()
    run("extract", pkg, 3, tmp_path / "d", check=1)  # its crc is bad: only --force writes it
    assert not (tmp_path / "d").exists()
    run("extract", pkg, 3, tmp_path / "d", "--force", check=1)
    assert (tmp_path / "d").read_bytes() == boot.read_bytes()


# Misuse ends with status 2 and a message and writes nothing.
@pytest.mark.parametrize(
    "args, status, shown",
    [(["create", "o", "--type", "boot", "--payload", "pkg"], 2, "at least 256"),
     (["create", "o", "--type", "kernel", "--hdrlen", "19", "--payload", "pkg"], 2, "20..65535"),
     (["create", "o", "--type", "firmware", "--payload", "pkg"], 2, "unknown record type"),
     (["create", "o", "--type", "dft", "--version", "1.2.3", "--payload", "pkg"], 2, "bad version"),
     (["list", "pkg", "--yaml"], 2, "--yaml"), (["extract", "pkg", "3", "o"], 2, "no record 3"),
     (["verify", "pkg", "--pubkey"], 2, "--pubkey needs a value")])
def test_invocations(tmp_path, args, status, shown):
    put(tmp_path, GOOD)
    proc = run(*args, check=status, cwd=tmp_path)
    assert shown in proc.stderr
    assert not (tmp_path / "o").exists()


# keygen never replaces a key and keeps the private one to its owner; --replace signs anew, and a
# format-1 package signature takes no second key; list shows which key signed what and whether it
# holds; verify takes any key. With a counter, signing adds: a second key, each signature holding.
def test_keys_and_signing(tmp_path):
    run("keygen", "rel", check=0, cwd=tmp_path), run("keygen", "other", check=0, cwd=tmp_path)
    assert (tmp_path / "rel.key").stat().st_mode & 0o777 == 0o600
    assert "exists already" in run("keygen", "rel", check=2, cwd=tmp_path).stderr
    pkg = put(tmp_path, GOOD + APP)
    run("sign", pkg, "--key", tmp_path / "other.key", check=0)
    assert "sign it anew with every key" in run("sign", pkg, "--key", tmp_path / "rel.key",
                                                "--output", tmp_path / "s", check=2).stderr
    run("sign", pkg, "--replace", "--key", tmp_path / "rel.key", "--output", tmp_path / "s",
        check=0)
    rel = run("list", tmp_path / "s", "--json", "--pubkey", tmp_path / "rel.pub", check=0).stdout
    assert [(r["type"], r["signed"], r["signature_holds"], r["own_key_id"] == r["key_id"],
             r["own_signature_holds"])
            for r in json.loads(rel)] == [("kernel", True, True, False, None),
                                          ("application", True, True, True, True),
                                          ("signature", True, True, False, None),
                                          ("signature", False, None, True, None)]
    assert [
        r["signature_holds"]
        for r in json.loads(run("list", tmp_path / "s", "--json", check=0).stdout)
    ][0] is None
    for key, status in (("rel.pub", 0), ("other.pub", 1)):
        run("verify", tmp_path / "s", "--pubkey", tmp_path / "other.pub", "--pubkey",
            tmp_path / key, check=status)
    assert len(records((tmp_path / "s").read_bytes())) == 4
    put(tmp_path, GOOD + APP, "c")
    run("sign", tmp_path / "c", "--key", tmp_path / "other.key", "--security-counter", "4294967295",
        check=0)
    assert "signed by key id" in run("sign", tmp_path / "c", "--key", tmp_path / "other.key",
                                     check=2).stderr
    run("sign", tmp_path / "c", "--key", tmp_path / "rel.key", "--security-counter", "7", check=0)
    for key in ("rel", "other"):
        listed = json.loads(
            run("list", tmp_path / "c", "--json", "--pubkey", tmp_path / f"{key}.pub",
                check=0).stdout)
        assert [(s["format"], s["security_counter"], s["holds"])
                for s in listed[1]["own_signatures"]] == [(2, 4294967295, key == "other"),
                                                          (2, 7, key == "rel")]
        assert listed[0]["security_counter"] == (7 if key == "rel" else 4294967295)
        assert "security counter" in run("verify", tmp_path / "c", "--pubkey",
                                         tmp_path / f"{key}.pub", check=0).stdout
    for bad in ("-1", "4294967296", "x", ""):
        assert "--security-counter" in run("sign", tmp_path / "c", "--key", tmp_path / "rel.key",
                                           "--replace", "--security-counter", bad, check=2).stderr
    assert len(records((tmp_path / "s").read_bytes())) == 4
