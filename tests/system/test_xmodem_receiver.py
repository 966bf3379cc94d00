"""`mpboard xmodem-receive` on a sandbox board's serial line against lrzsz's `sx -k`."""

import contextlib, random, shlex, subprocess, time  # noqa: E401

import pytest

from conftest import MPBOARD, TIMEOUT, picocom


class Picocom(contextlib.AbstractContextManager):
    """The recipe of doc/sandbox-boards.md typed through tmux (its socket in the board: a
    relative path, as the whole one is too long for a socket): socat makes the line to the
    board's command, picocom with `sx -k` is the terminal program."""

    def __init__(self, board, *command):
        self.tmux, self.cwd, line = ["tmux", "-S", "tmux.sock"], board.path, board.path / "line"
        self.socat = subprocess.Popen([
            "socat", f"PTY,link={line},rawer,wait-slave",
            f"EXEC:{shlex.join(map(str, command))},pty,setsid,ctty,stderr"
        ])
        self.wait(line.exists)
        self.tmux_run("new-session", "-d", "-x", "200", "-y", "50",
                      f"picocom -b 9600 --send-cmd 'sx -k' {line}")
        self.wait("Terminal ready")

    def __exit__(self, *_):
        subprocess.run([*self.tmux, "kill-server"], capture_output=True, cwd=self.cwd)
        self.socat.terminate()
        self.socat.wait(TIMEOUT)

    def tmux_run(self, *args):
        return subprocess.run([*self.tmux, *args], check=True, capture_output=True, text=True,
                              cwd=self.cwd).stdout

    def wait(self, test, timeout=TIMEOUT):  # for a text on the screen, or for test()
        deadline = time.monotonic() + timeout
        while not (test() if callable(test) else test in self.tmux_run(
                "capture-pane", "-p", "-S", "-")):
            assert time.monotonic(
            ) < deadline, f"{test} not seen:\n{self.tmux_run('capture-pane', '-p', '-S', '-')}"
            time.sleep(0.1)

    def keys(self, *keys, until,
             every=TIMEOUT):  # an Enter goes again: the line's switch drops an early one
        for _ in range(TIMEOUT // every):
            self.tmux_run("send-keys", *keys)
            with contextlib.suppress(AssertionError):
                return self.wait(until, every)
        self.wait(until, 0)

    def baud(self, speed
             ):  # picocom drops what is typed before its prompt: wait for this one, not the last
        prompts = self.tmux_run("capture-pane", "-p", "-S", "-").count("*** baud:")
        self.keys(
            "C-a", "C-b", until=lambda: self.tmux_run("capture-pane", "-p", "-S", "-").count(
                "*** baud:") > prompts)
        self.keys(str(speed), "Enter", until=f"*** baud: {speed} ***")

    def send(self, path, after):  # the switch, the file, the switch back, then `after`
        self.wait("       before initiating the download.")
        self.baud(115200)
        self.keys(
            "Enter",
            until=lambda: "C" in self.tmux_run("capture-pane", "-p").rpartition("115200 ***")[2],
            every=5)
        self.keys("C-a", "C-s", until="*** file:")
        self.tmux_run("send-keys", str(path),
                      "Enter")  # typed once; sx under the sanitizers is slow
        self.wait("*** exit status: 0 ***", 3 * TIMEOUT)
        self.wait("       Change the baud rate back to 9600 bps, hit the <ENTER> key")
        self.baud(9600)
        self.keys("Enter", until=after, every=5)


# The relay's Enter every half second once sx has ended: a line that never falls silent, where the
# switch back is announced all the same.
@pytest.mark.parametrize(
    "terminal",
    ["relay", "relay-busy", pytest.param("picocom", marks=picocom)])
def test_sx_sends_exactly(board, terminal):
    data, command = random.Random(1).randbytes(70000), ("xmodem-receive", board.path, "/tmp/image"
                                                        )  # 1K, a tail
    if terminal == "picocom":
        with Picocom(board, MPBOARD, *command) as term:
            term.send(board.write_file("image", data), lambda: term.socat.poll() is not None)
    else:
        console = board.console(*command)
        console.line("       before initiating the download.")
        console.xmodem_download(board.write_file("image", data), "-k",
                                enter_every=0.5 if "busy" in terminal else None)
        if "busy" in terminal:  # printed at the download settings, where a line feed stays one
            console.expect_exact(
                "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n")
        assert console.finish()[0] == 0
    received = (board.path / "tmp/image").read_bytes()
    assert received[:70000] == data and set(received[70000:]) <= {0x1A}
    assert len(received) % 128 == 0 and len(received) - 70000 < 1024
