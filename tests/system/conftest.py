"""Sandbox boards made by `mpboard`, booted on a pseudo-terminal (pexpect) or with output
captured."""

import contextlib, functools, json, os, re, shutil, struct, subprocess, sys, time, pexpect, pytest  # noqa: E401
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "pylib"))
from mppackage import (
    PeerNetwork,
    application,
    descendants,
    diagnostics,
    until,  # noqa
    xmodem_download)

MPBOARD, MPIMAGE = os.environ.get("MPBOARD", "mpboard"), os.environ.get("MPIMAGE", "mpimage")
WORK = Path(os.environ.get("MP_SYSTEM_WORK", Path(__file__).parents[2] / "build/system-boards"))
TIMEOUT = 30  # bounds a hang only: every pause of the launcher is scaled to nothing
# The same for a machine under emulation: on two busy cores its first line took up to 52 s.
VM_TIMEOUT = 180
TFTPD, PPC_LAUNCHER = os.environ.get("MP_TFTPD", ""), os.environ.get("MPBOARD_PPC_LAUNCHER", "")
PEER_ADDR, BOARD_ADDR = "10.77.0.1", "10.77.0.2"
MOUNT_LINE, RESET_LINE = "system: /bin/mount -o sync -t jffs2 /dev/mtd-user /user", "system: reboot"
UNPACK_LINE = r"system: cd /tmp \ntar mxzf /tmp/kaviximage.tar.gz \nrm /tmp/kaviximage.tar.gz\n"
DIAGS_LINES = [
    "system: mkdir -p /tmp/home/bin", "system: mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip"
]
picocom = pytest.mark.skipif(
    os.environ.get("MP_SANITIZED") == "1", reason="the terminal program's recipe: "
    "the build without sanitizers proves it (the relay runs the receiver under them)")
ppc = pytest.mark.skipif(not Path(PPC_LAUNCHER).is_file(),
                         reason="no static powerpc launcher: scripts/test builds it")
VM_KERNEL = Path(
    os.environ.get("MPBOARD_VM_DIR",
                   Path(__file__).parents[2] / "build/third_party/vm")) / "vmlinuz"
vm = pytest.mark.skipif(
    os.environ.get("MP_VM_BOARDS") == "0" or not VM_KERNEL.is_file()
    or not shutil.which("qemu-system-x86_64"), reason="virtual-machine boards: not in this "
    "build's tests, or no kernel (bash scripts/lib/vm.sh fetches it)")
VM_PPC_KERNEL = Path(
    os.environ.get("MPBOARD_VM_PPC_DIR",
                   Path(__file__).parents[2] / "build/third_party/vm-ppc")) / "vmlinux"
vm_ppc = pytest.mark.skipif(
    os.environ.get("MP_VM_BOARDS") == "0" or not VM_PPC_KERNEL.is_file()
    or not shutil.which("qemu-system-ppc")
    or not Path(os.environ.get("MP_VM_PPC_LAUNCHER", "")).is_file(),
    reason="powerpc virtual-machine boards: not in this build's tests, or no kernel or "
    "powerpc board build (bash scripts/lib/vm-ppc.sh, cmake --build --preset ppc)")
VM_KINDS = [pytest.param("vm", marks=vm), pytest.param("vm-ppc", marks=vm_ppc)]


def boot_log(booted, *started):  # the launcher's log lines of a boot that starts its image
    return [
        MOUNT_LINE, f"vpd-write: offset 59 value 0x{booted:02x}", UNPACK_LINE, *started,
        "exec: /bin/backtrace"
    ]


def interleaves(
        run, out,
        err):  # a VM board's run: status 0, the UART's lines those of out and err, each in order
    code, console, rest = run
    a, b, c = out.splitlines(True), err.splitlines(True), console.splitlines(True)

    @functools.cache
    def fits(i, j):
        return i + j == len(c) or any(
            k < len(s) and s[k] == c[i + j] and fits(i + (s is a), j + (s is b))
            for s, k in ((a, i), (b, j)))

    return code == 0 and rest == "" and len(c) == len(a) + len(b) and fits(0, 0)


def pristine_vpd(image=1, booted=0xFF):
    return {o: {1: image, 59: booted}.get(o, 0xFF) for o in range(256)}


class Board:

    def __init__(self, path, kind="jail"):  # "vm", "vm-ppc": the board build on a kernel
        self.path, self.kind, self.in_vm = path, kind, kind != "jail"
        self.vm_options = {"jail": [], "vm": ["--vm"], "vm-ppc": ["--vm", "--ppc"]}[kind]

    def mpboard(self, command, *args):
        proc = subprocess.run([MPBOARD, command, self.path, *map(str, args)], timeout=60,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)
        assert proc.returncode == 0, proc
        return proc.stdout

    def write_file(self, name, data):
        (path := self.path / "build-inputs" / name).parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def slot(self, n, data):
        self.mpboard("slot", n, *["--remove"] if data is None else [self.write_file(f"s{n}", data)])

    def slot_file(self, n):
        return path.read_bytes() if (path := self.path / f"user/images/image{n}").exists() else None

    def flash(self, partition, data):
        self.mpboard("flash", partition, self.write_file(partition, data))

    def vpd(self):
        return {int(o): int(v, 0) for o, v in map(str.split, self.mpboard("vpd").splitlines())}

    def status(self):  # `mpboard status --json`: the launcher's view of the board
        return json.loads(self.mpboard("status", "--json", "--clock-scale", "0"))

    def last_boot(self):  # the boot history's last entry: "target:verdict ... -> booted"
        e = self.status()["boot_history"]["entries"][-1]
        return " ".join(f"{t['target']}:{t['verdict']}" for t in e["tried"]) + f" -> {e['booted']}"

    def last_install(self):  # the install records' last entry: "result [reason] [override]"
        e = self.status()["install_history"]["entries"][-1]
        return " ".join(filter(None, [e["result"], e["reason"], "override" * e["override"]]))

    def log(self, launcher=False):  # launcher: only its own device and command calls
        return [
            line for line in self.mpboard("log").splitlines()
            if not launcher or line.split(":")[0] in ("system", "exec", "vpd-write", "fault")
        ]

    def run(self, stdin=b"",
            ppc=False):  # in a virtual machine both streams are the UART's, lines end CR LF
        options = self.vm_options or ["--clock-scale", "0", *["--ppc"] * ppc]
        proc = subprocess.run([MPBOARD, "run", self.path, *options], input=stdin,
                              capture_output=True, timeout=VM_TIMEOUT if self.in_vm else 120)
        return proc.returncode, proc.stdout.decode().replace("\r\n", "\n"), proc.stderr.decode()

    def console(self, *command, clock_scale="0", netns=None,
                ppc=False):  # `mpboard run` or a command
        args = command or ("run", self.path, *self.vm_options, "--clock-scale", clock_scale,
                           *["--netns", netns] * bool(netns), *["--ppc"] * (ppc and not self.in_vm))
        console = Console(
            "/bin/sh",
            ["-c", 'exec "$0" "$@"' + " 2>stderr.txt" * bool(command), MPBOARD, *map(str, args)],
            cwd=self.path, encoding="utf-8", timeout=VM_TIMEOUT if self.in_vm else TIMEOUT,
            codec_errors="replace", dimensions=(24, 120))
        console.logfile_read = open(self.path / "console.txt", "w", buffering=1)
        _consoles.append(console)
        return console


class Console(pexpect.spawn):

    def line(self, *texts):
        for text in texts:
            self.expect_exact(text + "\r\n")

    def interrupt(self):  # Ctrl-C once the launcher waits in its read, not just at the flag
        wait_for_console_read(self.pid)
        self.sendintr()

    def keys(self, text):
        for key in text:  # one by one, as a person types them
            self.send(key)
            time.sleep(0.002)

    def xmodem_download(self, path, *options, enter_every=None):
        xmodem_download(self.child_fd, path, *options, timeout=TIMEOUT, enter_every=enter_every)

    def finish(self):
        self.expect(pexpect.EOF)
        self.close()
        self.logfile_read.close()
        assert self.signalstatus is None, f"ended by signal {self.signalstatus}"
        return self.exitstatus, self.before


def wait_for_console_read(root):

    def reading(pid):
        with contextlib.suppress(OSError):
            return (Path(f"/proc/{pid}/comm").read_text().startswith("mplaunch")
                    and Path(f"/proc/{pid}/syscall").read_text().split()[:2] == ["0", "0x0"])

    until(lambda: any(map(reading, descendants(root))), "the launcher's read of the console",
          TIMEOUT)


_consoles, _templates = [], []  # boards a failed test left running; the template made this session


@pytest.fixture
def new_board(request):
    """Copies of one test board: slots 1.1.1.1 and 2.2.2.2, diagnostics 4.4.4.4 (rescue: the
    menu)."""
    base = WORK / re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name)[:80]
    shutil.rmtree(base, ignore_errors=True)
    made = []

    def make(rescue=False, kind="jail"):
        if not _templates:
            shutil.rmtree(template := WORK / "template", ignore_errors=True)
            WORK.mkdir(parents=True, exist_ok=True)
            Board(template).mpboard("create", "--demo")
            Board(template).slot(1, application("1.1.1.1"))
            Board(template).slot(2, application("2.2.2.2"))
            Board(template).flash("rescue", diagnostics("4.4.4.4"))
            _templates.append(template)
        made.append(Board(base / f"board{len(made) + 1}", kind))
        shutil.copytree(_templates[0], made[-1].path, symlinks=True)
        if rescue:
            made[-1].mpboard("env", "diagnostics=rescue")
        return made[-1]

    yield make
    while _consoles:
        _consoles.pop().terminate(force=True)


board = pytest.fixture(lambda new_board, request: new_board(kind=getattr(request, "param", "jail")))


def mpimage(*args, check=0):
    proc = subprocess.run([MPIMAGE, *map(str, args)], capture_output=True, text=True, timeout=60)
    assert check is None or proc.returncode == check, proc
    return proc


@pytest.fixture(scope="session")
def keys():  # a directory with the key pairs "rel" (the boards' key) and "other" by mpimage keygen
    shutil.rmtree(path := WORK / "keys", ignore_errors=True)
    path.mkdir(parents=True)
    for name in ("rel", "other"):
        mpimage("keygen", path / name)
    return path


FLOOR = 240  # the security floor's VPD bytes: two copies of the counter and its complement


def floor_vpd(counter):  # `mpboard vpd` assignments that give the board the floor `counter`
    copy = struct.pack(">II", counter, counter ^ 0xFFFFFFFF)
    return [f"{FLOOR + i}={b}" for i, b in enumerate(copy * 2)]


def signed(keys, data, key="rel", *options):  # the package as `mpimage sign` signs it
    (path := keys / "package").write_bytes(data)
    for name in key.split("+"):  # "a+b": signed by a, then b added
        mpimage("sign", path, "--key", keys / f"{name}.key", *options)
    return path.read_bytes()


@pytest.fixture
def peer_network(request):
    if os.geteuid() != 0 or not os.access(TFTPD, os.X_OK):
        pytest.skip("network namespaces need root, and the TFTP server (MP_TFTPD) unpacked")
    tag = f"{os.getpid()}-{abs(hash(request.node.name)) % 10000}"
    yield (network := PeerNetwork(f"mpb-{tag}", f"mpp-{tag}", PEER_ADDR, TIMEOUT))
    network.close()


def pytest_sessionfinish(session, exitstatus):  # all skipped: 77, which ctest shows as not run
    stats = getattr(session.config.pluginmanager.get_plugin("terminalreporter"), "stats", {})
    if exitstatus == 0 and stats.get("skipped") and not stats.get("passed"):
        session.exitstatus = 77
