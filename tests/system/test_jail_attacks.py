"""A hostile application (jail_attack.c) on boards run by root and by an ordinary user: it tries every way out
of the board, and a file of the host beside the board, open on an extra descriptor of mpboard, stays as it was."""

import os, pwd, re, shutil, signal, subprocess, pexpect, pytest  # noqa: E401
from pathlib import Path

from conftest import MPBOARD, TIMEOUT, WORK
from mppackage import application

SECRET = "host secret\n"
ATTEMPTS = re.findall(r'(?:say|report)\("([^"]+)"', Path(__file__).with_name("jail_attack.c").read_text())


@pytest.fixture(scope="module")
def package():
    WORK.mkdir(parents=True, exist_ok=True)
    subprocess.run(["cc", "-static", "-O1", "-o", WORK / "attack", Path(__file__).with_name("jail_attack.c")],
                   check=True)
    return application("6.6.6.6", "exec /tmp/home/bin/attack\n", {"home/bin/attack": (WORK.joinpath("attack")
                                                                                       .read_bytes(), 0o755)})


@pytest.mark.parametrize("user", ["root", "nobody"])
@pytest.mark.parametrize("console", [False, True])  # on a terminal of its own, or on pipes in the test's group
def test_hostile_application(request, package, user, console):
    if os.geteuid() != 0:
        pytest.skip("the runs as another user need root")
    shutil.rmtree(base := WORK / re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name), ignore_errors=True)
    base.mkdir(parents=True)
    account = pwd.getpwnam(user)
    os.chown(base, account.pw_uid, account.pw_gid)
    (secret := base / "secret").write_text(SECRET)
    secret.chmod(0o666)
    (base / "package").write_bytes(package)
    as_user = ["setpriv", f"--reuid={user}", f"--regid={account.pw_gid}", "--clear-groups", "--", MPBOARD]
    for args in (["create"], ["slot", "1", base / "package"]):
        subprocess.run([*as_user, args[0], base / "board", *args[1:]], check=True, timeout=60, capture_output=True)

    run = [*as_user, "run", str(base / "board"), "--clock-scale", "0"]
    received = []
    if console:
        board = pexpect.spawn(run[0], run[1:], timeout=TIMEOUT, encoding="utf-8", codec_errors="replace",
                              preexec_fn=lambda: os.set_inheritable(os.open(secret, os.O_RDWR), True))
        board.expect(pexpect.EOF)
        out = board.before.replace("\r\n", "\n")
    else:
        handler = signal.signal(signal.SIGWINCH, lambda *_: received.append(1))
        fd = os.open(secret, os.O_RDWR)
        try:
            out = subprocess.run(run, pass_fds=[fd], capture_output=True, text=True, timeout=TIMEOUT).stdout
        finally:
            os.close(fd)
            signal.signal(signal.SIGWINCH, handler)
    results = dict(re.findall(r"^([^:\n]+): (.*)$", out, re.M))
    assert set(ATTEMPTS) <= results.keys() and "ESCAPED" not in results.values(), out
    if console:  # refused by the jail, not by the lack of a terminal
        assert results["TIOCSTI"] == results["TIOCLINUX"] == "Operation not permitted"
    assert received == []
    assert secret.read_text() == SECRET and secret.stat().st_mode & 0o7777 == 0o666
    assert sorted(os.listdir(base)) == ["board", "package", "secret"]
    assert (base / "board").stat().st_mode & 0o777 == 0o700
    assert (base / "board/user/suid").stat().st_mode & 0o7777 == 0o755
    log = subprocess.run([MPBOARD, "log", base / "board"], capture_output=True, text=True, check=True).stdout
    assert "attack: \\x1b[2J\n" in log
    if user != "root" and not console:
        assert "--netns needs root" in subprocess.run([*run, "--netns", "x"], capture_output=True, text=True).stderr
