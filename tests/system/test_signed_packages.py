"""Signed packages installed by `mpboard install` on boards with and without keys, tampered every
way."""

import struct, subprocess  # noqa: E401

import pytest
from typing import NamedTuple

from conftest import MPBOARD, mpimage, signed
from mppackage import KERNEL, RFS, application, board_crc, record, records

PACKAGE = record(KERNEL, b"k" * 3000, "6.6.6.6") + application("6.6.6.6")
NOT_SIGNED, UNKNOWN, BROKEN, DAMAGED = (f"Package {why}, voiding download"
                                        for why in ("is not signed", "is signed by an unknown key",
                                                    "signature does not hold",
                                                    "is signed by no readable key of the board"))
DAMAGED = "".join(f"Key file {n} is damaged, it verifies nothing.\n"
                  for n in ("d.pub", "junk.pub")) + DAMAGED


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
        for t in TAMPERED if t != "as made"
    ],
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
    else:
        assert proc.returncode == 0 and board.slot_file(2) == b"".join(
            parts[1:2 + bool(signer)]), proc
        board.mpboard("env",
                      *["verify=on"] * (signer in board_keys))  # boots only what the key signed
        assert board.run()[1].endswith("test application 6.6.6.6 running\nargs=[] LD_PRELOAD=[]\n")
    # mpimage verify --pubkey holds only for the package as the board's key signed it.
    holds = mpimage("verify", package, "--pubkey", keys / "rel.pub", check=None).returncode == 0
    assert holds == (signer == "rel" and tamper == "as made")


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
