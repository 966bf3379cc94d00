"""`mpboard xmodem-receive` on a sandbox board's serial line against lrzsz's `sx -k`."""

import contextlib, random, shlex, subprocess, time  # noqa: E401

import pytest

from conftest import MPBOARD, TIMEOUT

BACK = "       Change the baud rate back to 9600 bps, hit the <ENTER> key"


class Picocom:
    """The README's recipe, typed through tmux (its socket in the board): socat makes the line to
    the board's command, picocom with `sx -k` is the terminal program."""

    def __init__(self, board, *command):
        # The socket's path is relative: a board's whole path is too long for a socket.
        self.tmux, self.cwd, line = ["tmux", "-S", "tmux.sock"], board.path, board.path / "line"
        self.socat = subprocess.Popen(["socat", f"PTY,link={line},rawer,wait-slave",
                                       f"EXEC:{shlex.join(map(str, command))},pty,setsid,ctty,stderr"])
        self.wait(line.exists, "the line")
        self.tmux_run("new-session", "-d", "-x", "200", "-y", "50", f"picocom -b 9600 --send-cmd 'sx -k' {line}")

    def tmux_run(self, *args):
        return subprocess.run([*self.tmux, *args], check=True, capture_output=True, text=True, cwd=self.cwd).stdout

    def screen(self):
        return self.tmux_run("capture-pane", "-p", "-S", "-")

    def wait(self, test, what, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while not (test() if callable(test) else test in self.screen()):
            assert time.monotonic() < deadline, f"{what} not seen:\n{self.screen()}"
            time.sleep(0.1)

    def keys(self, *keys, until=None):  # an Enter the board's switch of the line dropped: again
        for _ in range(TIMEOUT // 2):
            self.tmux_run("send-keys", *keys)
            with contextlib.suppress(AssertionError):
                return until and self.wait(until, "the answer to " + " ".join(keys), 2)
        self.wait(until, "the answer to " + " ".join(keys), 0)

    def baud(self, speed):
        self.keys("C-a", "C-b")
        self.wait("*** baud:", "picocom's question")
        self.keys(str(speed), "Enter", until=f"*** baud: {speed} ***")

    def send(self, path, after):  # the switch, the file, the switch back, then `after`
        self.wait("       before initiating the download.", "the switch")
        self.baud(115200)
        self.keys("Enter", until=lambda: "C" in self.screen().rpartition("*** baud: 115200 ***")[2])
        self.keys("C-a", "C-s")
        self.wait("*** file:", "picocom's question")
        self.keys(str(path), "Enter", until="*** exit status: 0 ***")
        self.wait(BACK, "the switch-back prompt")
        self.baud(9600)
        self.keys("Enter", until=after)

    def close(self):
        subprocess.run([*self.tmux, "kill-server"], capture_output=True, cwd=self.cwd)
        self.socat.terminate()
        self.socat.wait(TIMEOUT)


@pytest.mark.parametrize("terminal", ["relay", "picocom"])
def test_sx_sends_exactly(board, terminal):
    data = random.Random(1).randbytes(70000)  # 1K blocks, then a padded tail
    command = ("xmodem-receive", board.path, "/tmp/image")
    if terminal == "picocom":
        term = Picocom(board, MPBOARD, *command)
        term.send(board.write_file("image", data), lambda: term.socat.poll() is not None)
        term.close()
    else:
        console = board.console(*command)
        console.line("       before initiating the download.")
        console.xmodem_download(board.write_file("image", data), "-k")
        assert console.finish()[0] == 0
    received = (board.path / "tmp/image").read_bytes()
    assert received[:70000] == data and set(received[70000:]) <= {0x1A}
    assert len(received) % 128 == 0 and len(received) - 70000 < 1024
