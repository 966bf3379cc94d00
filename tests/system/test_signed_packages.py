"""Signed packages installed by `mpboard install` on boards with and without keys, tampered every
way."""

import struct, subprocess  # noqa: E401

import pytest
from typing import NamedTuple

from conftest import FLOOR, MPBOARD, floor_vpd, mpimage, signed
from mppackage import KERNEL, RFS, app_line, application, board_crc, record, records

PACKAGE = record(KERNEL, b"k" * 3000, "6.6.6.6") + application("6.6.6.6")
NOT_SIGNED, UNKNOWN, BROKEN, DAMAGED = (f"Package {why}, voiding download"
                                        for why in ("is not signed", "is signed by an unknown key",
                                                    "signature does not hold",
                                                    "is signed by no readable key of the board"))
DAMAGED = "".join(f"Key file {n} is damaged, it verifies nothing.\n"
                  for n in ("d.pub", "junk.pub")) + DAMAGED
# The install records' reason for each refusal.
REASONS = {
    NOT_SIGNED: "not-signed", UNKNOWN: "unknown-key", BROKEN: "bad-signature",
    DAMAGED: "damaged-key"
}


def resealed(rec, at):  # one byte changed and the CRC made good again, as an attacker would
    body = rec[4:at] + bytes([rec[at] ^ 0x5A]) + rec[at + 1:]
    return struct.pack(">I", board_crc(body)) + body


# The signed package's records: kernel, application, its own signature, the package signature.
TAMPERED = {
    "as made": lambda r: r,
    "a payload byte": lambda r: [r[0], resealed(r[1], 100), *r[2:]],
    "a header field": lambda r: [resealed(r[0], 15), *r[1:]],
    "a record removed": lambda r: r[1:],
    "a record added": lambda r: [r[0], record(RFS, b"r" * 64), *r[1:]],
    "a record appended": lambda r: r + [record(RFS, b"r" * 64)],
    "records reordered": lambda r: [r[1], r[2], r[0], r[3]],
    "its own signature removed": lambda r: [r[0], r[1], r[3]],
    "cut off": lambda r: r[:-1] + [r[-1][:-1]],
    "a signature record alone": lambda r: r[-1:],
    "the signature twice": lambda r: r + r[-1:],
    "its reserved byte set": lambda r: r[:-1] + [resealed(r[-1], 19)
                                                 ],  # one encoding per signed package
    "its header id set": lambda r: r[:-1] + [resealed(r[-1], 15)],
}


def flash_slots_and_vpd(board):
    return {
        p: p.read_bytes()
        for p in (*board.path.glob("dev/mtd-*"), *board.path.glob("user/images/*"),
                  board.path / "var/vpd.bin")
    }


class Install(NamedTuple):
    signer: str | None  # None: unsigned
    board_keys: list  # its key files ("junk": one that is no key, beside a directory d.pub)
    tamper: str = "as made"
    refusal: str | None = None


INSTALLS = [
    Install(None, []),  # a board without keys installs as it always did
    Install("rel", []),
    Install("other", [], "a header field"),
    Install(None, ["rel"], refusal=NOT_SIGNED),
    Install("rel", ["rel"]),
    Install("other", ["rel"], refusal=UNKNOWN),
    Install("rel", ["junk"], refusal=DAMAGED),  # a damaged key file verifies nothing, and is named
    Install("rel", ["junk", "rel"]),
    Install("rel", ["other", "rel"]),
    *[
        Install("rel", ["rel"], t, NOT_SIGNED if t in ("a record appended", "cut off") else BROKEN)
        for t in TAMPERED if t not in ("as made", "the signature twice")
    ],
    Install("rel", ["rel"], "the signature twice"),  # the first holds; the copy covers nothing
]


@pytest.mark.parametrize(
    "case", INSTALLS,
    ids=lambda c: "-".join([c.signer or "unsigned", "+".join(c.board_keys) or "no-key", c.tamper]))
def test_install(board, keys, case):
    signer, board_keys, tamper, refusal = case
    for key in board_keys:
        if key == "junk":
            (board.path / "etc/mplaunch/keys").mkdir(parents=True, exist_ok=True)
            (board.path / "etc/mplaunch/keys/junk.pub").write_text("ed25519 00\n")
            (board.path / "etc/mplaunch/keys/d.pub").mkdir()
        else:
            board.mpboard("keys", "add", keys / f"{key}.pub")
    parts = TAMPERED[tamper]([
        r.header + r.payload for r in records(signed(keys, PACKAGE, signer) if signer else PACKAGE)
    ])
    package, before = board.write_file("p", b"".join(parts)), flash_slots_and_vpd(board)
    proc = subprocess.run([MPBOARD, "install", board.path, package, "--slot", "2"],
                          capture_output=True, text=True, timeout=60)
    if refusal:
        assert (proc.returncode, proc.stdout.split("switch.\n")[1]) == (1, refusal + "\n"), proc
        assert flash_slots_and_vpd(board) == before
        assert board.last_install() == "refused " + REASONS[refusal]
    else:
        assert proc.returncode == 0 and board.slot_file(2) == b"".join(
            parts[1:2 + bool(signer)]), proc
        board.mpboard("env",
                      *["verify=on"] * (signer in board_keys))  # boots only what the key signed
        assert board.run()[1].endswith("test application 6.6.6.6 running\nargs=[] LD_PRELOAD=[]\n")
    # mpimage verify --pubkey holds only for the package as the board's key signed it.
    holds = mpimage("verify", package, "--pubkey", keys / "rel.pub", check=None).returncode == 0
    assert holds == (signer == "rel" and tamper in ("as made", "the signature twice"))


# --check-versions: a slot holding the package's application record without its own signature is not
# the same version, and is rewritten; once it holds both, the record is skipped.
def test_check_versions(board, keys):
    board.slot(2, application("6.6.6.6"))
    board.mpboard("keys", "add", keys / "rel.pub")
    package = board.write_file("p", signed(keys, PACKAGE))
    for skipped in (False, True):  # nothing installed the second time: status 1
        proc = subprocess.run(
            [MPBOARD, "install", board.path, package, "--slot", "2", "--check-versions"],
            capture_output=True, text=True, timeout=60)
        slot = b"".join(r.header + r.payload for r in records(signed(keys, PACKAGE))[1:3])
        assert (proc.returncode, "Image2 has same version" in proc.stdout, board.slot_file(2)) == \
            (skipped, skipped, slot), proc


# Release policy: the security floor in the VPD (two copies of the counter and its complement at
# byte 240), raised by mplaunch-confirm only, never lowered; the products a package is for; several
# keys.
BELOW = "Package security counter {} is below the board's floor {}, voiding download"


def floor(board):
    vpd = (board.path / "var/vpd.bin").read_bytes()
    copies = [struct.unpack(">II", vpd[at:at + 8]) for at in (FLOOR, FLOOR + 8)]
    return max([c for c, check in copies if check == c ^ 0xFFFFFFFF], default=0)


def release(keys, version, counter, confirms=True, key="rel"):
    script = f'echo "{app_line(version)}"\n' + "/usr/bin/mplaunch-confirm\n" * confirms
    return signed(keys,
                  record(KERNEL, b"k" * 3000, version) + application(version, script), key,
                  "--security-counter", str(counter))


class Step(NamedTuple):
    counter: int
    refused: int | None = None  # the floor named in the refusal
    confirms: bool = True
    allow_older: bool = False
    floor: int = 0  # after the boot
    boots: bool = True  # slot 1 boots with verify=on (else it is passed over)


STEPS = [
    Step(5, floor=5),
    Step(3, refused=5, floor=5),  # nothing written: slot 1 keeps 5
    Step(3, allow_older=True, floor=5, boots=False),  # installed, and passed over at boot
    Step(4, allow_older=True, floor=5, boots=False),  # a second override, kept after the first
    Step(7, confirms=False, floor=5),  # booted on trial: no raise before the confirm
    Step(7, floor=7),
    Step(6, refused=7, floor=7),
    Step(0, refused=7, floor=7),
]


def test_security_floor(board, keys):
    board.mpboard("keys", "add", keys / "rel.pub")
    board.mpboard("env", "verify=on")
    assert floor(board) == 0
    version, overrides = "5.5.5.5", ""
    for n, step in enumerate(STEPS):
        package = board.write_file(
            f"p{n}", release(keys, f"{step.counter}.0.0.{n}", step.counter, step.confirms))
        before = flash_slots_and_vpd(board)
        proc = subprocess.run([
            MPBOARD, "install", board.path, package, "--slot", "1",
            *["--allow-older"] * step.allow_older
        ], capture_output=True, text=True, timeout=60)
        if step.refused is not None:
            assert (proc.returncode, proc.stdout.split("switch.\n")[1]) == \
                (1, BELOW.format(step.counter, step.refused) + "\n"), proc
            assert flash_slots_and_vpd(board) == before
            assert board.last_install() == "refused below-floor"
        else:
            assert proc.returncode == 0, proc
            version = f"{step.counter}.0.0.{n}"
            override = (f"Installing an older package on the operator's word: security counter "
                        f"{step.counter}, the board's floor {floor(board)}.")
            assert (override in proc.stdout) == step.allow_older, proc
            if step.allow_older:
                overrides += override + "\n"
                assert (board.path / "user/images/overrides").read_text() == overrides
            assert board.last_install() == "installed" + " override" * step.allow_older
        _, out, err = board.run()
        passed = f"Image1 security counter {step.counter} is below the board's floor"
        assert ((app_line(version) in out), passed in err) == (step.boots, not step.boots), err
        assert floor(board) == step.floor, n


class Products(NamedTuple):
    board: str | None  # the first line of etc/mplaunch/compatible
    package: list
    installs: bool


PRODUCTS = [
    Products(None, [], True),
    Products(None, ["sw-b"], True),  # a board without a name takes every package
    Products("sw-a", [], True),
    Products("sw-a", ["sw-a"], True),
    Products("sw-a", ["sw-b", "sw-a"], True),
    Products("sw-a", ["sw-b"], False),
    Products("sw-a", ["sw-a2", "SW-A"], False),  # whole names, as written
]


@pytest.mark.parametrize("case", PRODUCTS, ids=lambda c: f"{c.board}-{'+'.join(c.package)}")
@pytest.mark.parametrize("signer", [None, "rel"])
def test_products(board, keys, case, signer):
    if case.board:
        (board.path / "etc/mplaunch").mkdir(parents=True, exist_ok=True)
        (board.path / "etc/mplaunch/compatible").write_text(case.board + "\nsecond line\n")
    if signer:
        board.mpboard("keys", "add", keys / f"{signer}.pub")
    (payload := keys / "app.payload").write_bytes(records(application("6.6.6.6"))[0].payload)
    made = mpimage("create", keys / "for.pkg", *sum((["--compatible", n] for n in case.package),
                                                    []), "--type", "application", "--version",
                   "6.6.6.6", "--payload", payload)
    package = board.write_file(
        "p",
        signed(keys, (keys / "for.pkg").read_bytes()) if signer else
        (keys / "for.pkg").read_bytes())
    assert made.returncode == 0
    before = flash_slots_and_vpd(board)
    proc = subprocess.run([MPBOARD, "install", board.path, package, "--slot", "2"],
                          capture_output=True, text=True, timeout=60)
    refusal = (f"Package is for {', '.join(case.package)}, not for this board ({case.board}), "
               "voiding download\n")
    if case.installs:
        assert proc.returncode == 0 and refusal not in proc.stdout, proc
    else:
        assert (proc.returncode, proc.stdout.split("switch.\n")[1]) == (1, refusal), proc
        assert flash_slots_and_vpd(board) == before
        assert board.last_install() == "refused other-product"


# Key rotation: signed by two keys, at once or one added later, with and without a counter; boards
# holding either key or both install it and boot it with verify=on.
@pytest.mark.parametrize("signing", [("rel+other", "--security-counter", "1"), ("other+rel", )],
                         ids=["added-later", "added-later-no-counter"])
@pytest.mark.parametrize("board_keys", [["rel"], ["other"], ["rel", "other"]],
                         ids=lambda k: "+".join(k))
def test_two_keys(board, keys, signing, board_keys):
    for key in board_keys:
        board.mpboard("keys", "add", keys / f"{key}.pub")
    board.mpboard("env", "verify=on")
    data = record(KERNEL, b"k" * 3000, "6.6.6.6") + application("6.6.6.6")
    if len(signing) == 1:  # a package signature of the first format cannot take another key
        (path := keys / "package").write_bytes(data)
        mpimage("sign", path, "--key", keys / "other.key")
        refused = mpimage("sign", path, "--key", keys / "rel.key", check=2)
        assert "sign it anew with every key" in refused.stderr
        mpimage("sign", path, "--replace", "--key", keys / "other.key", "--key", keys / "rel.key")
        package = board.write_file("p", path.read_bytes())
    else:
        package = board.write_file("p", signed(keys, data, *signing))
    for key in ("rel", "other"):
        mpimage("verify", package, "--pubkey", keys / f"{key}.pub")
    proc = subprocess.run([MPBOARD, "install", board.path, package, "--slot", "1"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc
    assert board.run()[1].endswith("test application 6.6.6.6 running\nargs=[] LD_PRELOAD=[]\n")


# A power cut at each VPD write of the confirm that raises the floor from 5 to 256 (eight bytes
# change, four in each copy): the floor is then 5 or 256, never another value; the next boot's
# confirm completes it.
def test_floor_cuts(board, keys):
    board.mpboard("keys", "add", keys / "rel.pub")
    for counter in (5, 256):
        package = board.write_file("p", release(keys, f"{counter % 256}.0.0.1", counter))
        board.mpboard("install", package, "--slot", "1")
        if counter == 5:
            board.run()
    assert floor(board) == 5
    seen = set()
    for n in range(1, 10):
        board.mpboard("conf", f"power.cut_at_vpd_write={n}@{FLOOR}")
        _, out, _ = board.run()
        seen.add(floor(board))
        cut = f"cut at VPD write {n} offset" in (board.path / "var/log/board.log").read_text()
        assert floor(board) in (5, 256) and cut == (n <= 8), (n, out)
        board.mpboard("conf", "power.cut_at_vpd_write=")
        if floor(board) == 5:
            board.run()
        assert floor(board) == 256
        board.mpboard("vpd", *floor_vpd(5))
    assert seen == {5, 256}
