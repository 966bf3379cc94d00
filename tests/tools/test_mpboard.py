"""mpboard as a person runs it: boards made, edited, booted and installed into, read back here."""

import hashlib, json, os, re, shutil, struct, subprocess, sys, zlib, pytest  # noqa: E401
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "pylib"))
from mppackage import APPLICATION, KERNEL, application, record  # noqa: E402

MPBOARD = os.environ.get("MPBOARD", "mpboard")
BOARD = json.loads(
    subprocess.run([MPBOARD, "describe", "--json"], capture_output=True, check=True).stdout)
SIZES = {p["name"]: p["size"] for p in BOARD["partitions"]}


def mpboard(*args, check=0, stdin=subprocess.DEVNULL, **kw):
    proc = subprocess.run([MPBOARD, *map(str, args)], capture_output=True, text=True, stdin=stdin,
                          timeout=60, **kw)
    assert check is None or proc.returncode == check, proc
    return proc


def put(path, data):
    return path.write_bytes(data) and path


@pytest.fixture
def board(tmp_path):
    return mpboard("create", tmp_path / "board", "--demo") and tmp_path / "board"


def test_create_and_edit(tmp_path, board):
    """create never overwrites what is not a board; env, vpd, slot, flash and conf edit a board and
    refuse what does not fit; misuse ends with status 2."""
    (other := tmp_path / "notaboard").mkdir()
    (other / "keep").write_text("precious")
    pkg, blob = put(tmp_path / "pkg", record(APPLICATION, b"not a tarball", 7,
                                             bad_crc=True)), tmp_path / "blob"
    for status, *args in [(1, "create", other, "--force"), (1, "create", board),
                          (1, "env", board, *[f"v{i}=" + "x" * 40000 for i in range(4)]),
                          (2, "env", board, "x"), (2, "vpd", board, "1=256"),
                          (2, "vpd", board, "x=1"), (2, "slot", board, 3, pkg),
                          (2, "flash", board, "bootloader", pkg),
                          (2, "conf", board, "no.such.key=1"),
                          (1, "install", board, tmp_path / "missing.pkg"),
                          (2, "run", board, "--pids-max", 7),
                          (2, "run", board, "--memory-max", "1g")]:
        mpboard(*args, check=status)
    assert (other / "keep").read_text() == "precious"
    mpboard("create", board, "--force")
    for name, size in SIZES.items():
        assert (board / f"dev/mtd-{name}").read_bytes() == b"\xff" * size, name
    assert (board /
            "var/vpd.bin").read_bytes() == b"\xff" * 256 and not (board / "user/images").exists()

    mpboard("env", board, "shell=on", "gdbport=4321", "bootcmd=run a; run b")
    mpboard("env", board, "gdbport=99", "shell=", "memchk=on")
    part = (board / "dev/mtd-ubootenv").read_bytes()
    used = part[4:].index(b"\0\0") + 2
    assert struct.unpack(">I", part[:4])[0] == zlib.crc32(
        part[4:]) and part[4 + used:] == b"\xff" * (len(part) - 4 - used)
    assert mpboard("env", board).stdout == "gdbport=99\nbootcmd=run a; run b\nmemchk=on\n" == part[
        4:4 + used - 1].decode().replace("\0", "\n")
    mpboard("flash", board, "kernel", put(blob, bytes(range(256)) * 3))
    assert (board /
            "dev/mtd-kernel").read_bytes() == blob.read_bytes() + b"\xff" * (SIZES["kernel"] - 768)
    mpboard("flash", board, "devicetree", put(blob, b"\0" * (SIZES["devicetree"] + 1)), check=1)
    assert (board / "dev/mtd-devicetree").read_bytes() == b"\xff" * SIZES["devicetree"]
    mpboard("conf", board, "fault.mtd.write=kernel:3", "clock.scale=0")
    assert {"fault.mtd.write = kernel:3", "clock.scale = 0"} <= set(
        mpboard("conf", board).stdout.splitlines())
    mpboard("conf", board, "fault.mtd.write=")
    assert "fault.mtd.write = none (default)\n" in mpboard("conf", board).stdout
    # doc/sandbox-boards.md's board.conf table shows the keys and defaults that boards have.
    page = Path(__file__).parents[2].joinpath("doc/sandbox-boards.md").read_text()
    table = page.split("\n## etc/board.conf\n")[1].split("\n## ")[0]
    assert re.findall(r"^\| `(\S+)` \| (\S+) \|", table,
                      re.M) == [(k["key"], k["default"]) for k in BOARD["conf"]]


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
    mpboard(
        "slot", board, 1,
        put(tmp_path / "probe.pkg",
            application("5.0.0.5", JAIL_PROBE.format(marker=tmp_path / "marker"))))
    proc = mpboard("run", board, "--clock-scale", "0")
    # This run's clock scale, though board.conf on the host still says 1; the board's sh runs
    # `cmd &> file` in the foreground, as bash does; standard error stays a stream of its own.
    assert [line.strip() for line in proc.stdout.splitlines()] == [
        "Booting image '1'", "out: clock.scale = 0", "host file hidden", "lo", "amp []",
        "user holds: []", "still here after reboot"
    ]
    assert proc.stderr == "err: on stderr\n"
    assert {"reboot: -f", "flash_eraseall: /dev/mtd-user-char"} <= set(
        (board / "var/log/board.log").read_text().splitlines())
    # A boot starts with an empty /tmp and the launcher of this build.
    assert not (board / "tmp/gdb").exists() and (board / "tmp/home/bin/mp.elf.strip").exists()
    assert not os.listdir(
        board / "user") and (board / "bin/mplaunch-sandbox").read_bytes() != b"stale"
    assert "clock.scale = 1\n" in mpboard("conf", board).stdout


def test_install_writes_records_with_the_boards_installer(tmp_path, board):
    kernel, app = record(KERNEL,
                         bytes(range(256)) * 8,
                         0x01020304), application("9.0.0.9", 'echo "installed app"\n')
    pkg = put(tmp_path / "release.pkg", kernel + app)
    out = mpboard("install", board, pkg, "--slot", 2).stdout
    assert "Installing Kernel: " in out and out.endswith(
        "\nImage2 updated succeeded\nFile processed\n")
    assert (board / "dev/mtd-kernel").read_bytes()[:len(kernel)] == kernel
    assert (board / "user/images/image2").read_bytes() == app and (
        board / "var/vpd.bin").read_bytes()[1] == 2
    assert "vpd-write: offset 1 value 0x02" in (board / "var/log/board.log").read_text()
    assert mpboard("run", board, "--clock-scale", "0").stdout.endswith("installed app\n")
    # The same package again, with the version check: nothing to write.
    assert "Image has same version as existing image. Skipping update..." in mpboard(
        "install", board, pkg, "--slot", 2, "--check-versions", check=1).stdout
    before = (board / "dev/mtd-kernel").read_bytes()
    damaged = put(tmp_path / "damaged.pkg", record(KERNEL, b"k" * 64, 2, bad_crc=True))
    assert "Bad crc for KERNEL: 0x" in mpboard("install", board, damaged, check=1).stdout
    assert (board / "dev/mtd-kernel").read_bytes() == before
    # Asked on standard input: a slot, or an empty answer that boots the package at once.
    pkg = put(tmp_path / "app.pkg", app := application("10.0.0.10", 'echo "booted at once"\n'))
    out = mpboard("install", board, pkg, input="1x\n", stdin=None).stdout
    assert "Install image as image 1 or 2 (hit return to just boot image): " in out
    assert (board / "user/images/image1").read_bytes() == app
    out = mpboard("install", board, pkg, input="\n", stdin=None).stdout
    assert out.endswith("Booting downloaded image\nImage ready to boot...\nbooted at once\n")


def test_keys(tmp_path, board):
    """keys: the board's rule for key files; list and remove go on past odd entries and name them,
    escaped, following no link; removing the last key file says that checking is off."""
    key = {n: "ed25519 " + bytes([n]).hex() * 32 + "\n" for n in (1, 2)}
    kid = {n: hashlib.blake2b(bytes([n]) * 32, digest_size=32).hexdigest()[:16] for n in (1, 2)}
    for name in (".pub", ".rel.pub", "rel.pub"):
        mpboard("keys", board, "add", put(tmp_path / name, key[1].encode()),
                check=0 if name == "rel.pub" else 1)
    keys = board / "etc/mplaunch/keys"
    (keys / "d.pub").mkdir(), os.mkfifo(keys / "f.pub"), (keys / "l.pub").symlink_to("gone")
    (keys / "\x1b]52;c;eA==\x07.pub").write_text(key[2]), (keys / ".x.pub").write_text(key[2])
    damaged = " damaged: holds no key, verifies nothing\n"
    assert mpboard("keys", board, "list").stdout == (
        f"\\x1b]52;c;eA==\\x07.pub {kid[2]}\n.x.pub ignored: not a key file name\n"
        f"d.pub{damaged}f.pub{damaged}l.pub{damaged}rel.pub {kid[1]}\n")
    for name in (kid[2], "d.pub", "f.pub", "l.pub", "rel.pub"):
        assert ("No key file left" in mpboard("keys", board, "remove",
                                              name).stdout) == (name == "rel.pub")
    (tmp_path / "host/keys").mkdir(parents=True), put(tmp_path / "host/keys/h.pub", key[1].encode())
    shutil.rmtree(board / "etc/mplaunch"), (board / "etc/mplaunch").symlink_to(tmp_path / "host")
    assert mpboard("keys", board,
                   "list").stdout == ""  # the link leads inside the board, where it is nothing
