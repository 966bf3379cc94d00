"""A hostile application (jail_attack.c) on boards run by root and by an ordinary user: it tries
every way out of the board, and a file of the host beside the board, open on an extra descriptor of
mpboard, stays as it was. Its setuid files, hidden deeper than mpboard may hold directories open or
in a directory closed to its owner, lose their bits, and the board is remade over what it left.
While it waits at the end, and after the run, another account tries to reach what it made; each run
ends its own way (a signal, a closed terminal, kill -9 under --netns followed by a run with the same
name, the normal end)."""

import ctypes, fcntl, os, pwd, re, resource, signal, subprocess, termios  # noqa: E401
import pexpect, pytest  # noqa: E401
from pathlib import Path

from conftest import MPBOARD, TIMEOUT, WORK
from mppackage import application

SECRET = "host secret\n"
# The usual limit: the board hides its setuid file deeper than that.
resource.setrlimit(resource.RLIMIT_NOFILE, (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
ATTEMPTS = re.findall(r'(?:say|report)\("([^"]+)"',
                      Path(__file__).with_name("jail_attack.c").read_text())

BOARD_TOP_NAMES = {
    "bin", "dev", "etc", "lib", "proc", "run", "sbin", "sys", "tmp", "user", "usr", "var"
}


@pytest.fixture(scope="module")
def package():
    WORK.mkdir(parents=True, exist_ok=True)
    subprocess.run(
        ["cc", "-static", "-O1", "-o", WORK / "attack",
         Path(__file__).with_name("jail_attack.c")], check=True)
    return application("6.6.6.6", "exec /tmp/home/bin/attack\n",
                       {"home/bin/attack": (WORK.joinpath("attack").read_bytes(), 0o755)})


def as_account(user):
    account = pwd.getpwnam(user)
    return ["setpriv", f"--reuid={user}", f"--regid={account.pw_gid}", "--clear-groups", "--"]


@pytest.mark.parametrize("user", ["root", "nobody"])
@pytest.mark.parametrize("console", [False, True]
                         )  # on a terminal of its own, or on pipes with one left behind
def test_hostile_application(request, package, user, console):
    if os.geteuid() != 0:
        pytest.skip("the runs as another user need root")
    subprocess.run(
        ["rm", "-rf", base := WORK / re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name)],
        check=True)
    base.mkdir(parents=True)
    account = pwd.getpwnam(user)
    os.chown(base, account.pw_uid, account.pw_gid)
    (secret := base / "secret").write_text(SECRET)
    secret.chmod(0o666)
    (base / "package").write_bytes(package)
    as_user = [*as_account(user), MPBOARD]
    for args in (["create"], ["slot", "1", base / "package"]):
        subprocess.run([*as_user, args[0], base / "board", *args[1:]], check=True, timeout=60,
                       capture_output=True)
    libc = ctypes.CDLL(None,
                       use_errno=True)  # a key of the test's own, which the board is not to see
    key = libc.syscall(248, b"user", b"mpboard-attack", b"secret", 6,
                       -4)  # add_key to the user keyring
    (base / "board/user/keyid").write_text(str(key))
    suid, watcher = base / "board/user/suid", as_account("daemon" if user == "nobody" else "nobody")

    def reached():  # the other account gets at the board's setuid file
        return subprocess.run([*watcher, "stat", suid], capture_output=True).returncode == 0

    netns = ["--netns", "mpboard-attack"] * (user == "root" and not console)
    run = [*as_user, "run", str(base / "board"), "--clock-scale", "0", *netns]
    received, during = [], []
    if console:
        board = pexpect.spawn(
            run[0], run[1:], timeout=TIMEOUT, encoding="utf-8", codec_errors="replace",
            preexec_fn=lambda: os.set_inheritable(os.open(secret, os.O_RDWR), True))
        settings = termios.tcgetattr(board.child_fd)
        board.expect("waiting")
        out = board.before
        during.append(reached())
        if user == "root":
            board.kill(signal.SIGTERM)
            board.expect(pexpect.EOF)
            assert board.getwinsize() == (24, 80) and termios.tcgetattr(board.child_fd) == settings
        else:
            board.ptyproc.fileobj.close()  # the terminal hangs up
            board.wait()
        out = (out + board.before).replace("\r\n", "\n")
    else:
        handler = signal.signal(signal.SIGWINCH, lambda *_: received.append(1))
        _, terminal = os.openpty()  # the caller's terminal, which the board is not to get
        fd = os.open(secret, os.O_RDWR)

        def start():
            return subprocess.Popen(
                run, pass_fds=[fd], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT, text=True, preexec_fn=lambda:
                (os.setsid(), fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)))

        try:
            out = ""
            for again in [True] * bool(netns) + [False]:
                proc = start()
                while "waiting" not in out and (line := proc.stdout.readline()):
                    out += line
                during.append(reached())
                if again:
                    proc.kill()  # the board's network namespace stays pinned
                else:
                    out += proc.communicate("\n", timeout=TIMEOUT)[0]
                proc.wait(timeout=TIMEOUT)
        finally:
            os.close(fd), os.close(terminal)
            signal.signal(signal.SIGWINCH, handler)
    results = dict(re.findall(r"^([^:\n]+): (.*)$", out, re.M))
    escaped = {name for name, result in results.items() if result == "ESCAPED"}
    # Without a control group of its own (for an ordinary user with none delegated) a board's memory
    # is not bounded, nor are root's processes; mpboard says so.
    unbounded = {"1 GiB of memory", "fork bomb" *
                 (user == "root")} if "no control group" in out else set()
    assert set(ATTEMPTS) <= results.keys() and escaped <= unbounded, out
    if console:  # refused by the jail, not by the lack of a terminal
        assert {results[r]
                for r in ("TIOCSTI", "TIOCLINUX", "TIOCSETD", "TIOCEXCL")
                } == {"Operation not permitted"}
    assert str(base) not in results["PID 1's command line"]
    # No name of the board's path on the host in the table; the board's own top directories
    # (a checkout under /tmp has a "tmp" in its path) are no such name.
    mounts = re.findall(r"^mount: (.*)$", out, re.M)
    host_names = set(base.parts[1:]) - BOARD_TOP_NAMES
    assert mounts and not [line
                           for line in mounts if set(re.split(r"[/ ,=]", line)) & host_names], out
    assert received == [] and during == [False] * len(during) and not reached()
    assert secret.read_text() == SECRET and secret.stat().st_mode & 0o7777 == 0o666
    assert sorted(os.listdir(base)) == ["board", "package", "secret"]
    assert (base / "board").stat().st_mode & 0o777 == 0o700
    for left in (suid, base / "board/user/closed/suid",
                 Path(base, "board/user", *["d"] * 1100, "suid")):
        assert left.stat().st_mode & 0o7777 == 0o755, left
    log = subprocess.run([MPBOARD, "log", base / "board"], capture_output=True, text=True,
                         check=True).stdout
    assert "attack: \\x1b[2J\n" in log
    subprocess.run([*as_user, "create", base / "board", "--force"], check=True, timeout=60,
                   capture_output=True)
    if user != "root" and not console:
        assert "--netns needs root" in subprocess.run([*run, "--netns", "x"], capture_output=True,
                                                      text=True).stderr


# `ip netns` makes /run/netns a mount point of its own the first time it adds a name; a board's pin
# made before that stays reachable by its name and goes at the end of the run. In a mount namespace
# of the test's own, with a /run in which the directory is no mount point yet.
def test_netns_pin_survives_ip_netns_first_use(new_board):
    if os.geteuid() != 0:
        pytest.skip("--netns needs root")
    board = new_board(rescue=True)  # waits at the menu
    script = f"""mount -t tmpfs run /run && mkdir /run/netns && mkfifo /run/menu
exec 3<>/run/menu
{MPBOARD} run {board.path} --clock-scale 0 --netns pinned <&3 >/dev/null 2>&1 &
until [ "$(stat -f -c %T /run/netns/pinned 2>/dev/null)" = nsfs ]; do
    kill -0 $! || exit 1
    sleep 0.1
done
ip netns add other && stat -f -c %T /run/netns/pinned && ip netns exec pinned true && echo reached
ip netns del other
kill $! && wait $!
ls /run/netns"""
    out = subprocess.run(["unshare", "--mount", "sh", "-c", script], capture_output=True, text=True,
                         timeout=TIMEOUT)
    assert out.stdout == "nsfs\nreached\n", out
