"""The launcher's built-in XMODEM-1K receiver on a sandbox board's serial line, against lrzsz's sx
as the operator's terminal program would run it: Enter at the download speed, the transfer, Enter
at the console's speed again. The file stays in the board after `mpboard xmodem-receive` ends."""

import random
import shlex

import pexpect
import pytest

from conftest import MPBOARD, TIMEOUT, Console


def receive(board, name, sender_args, data):
    """Sends `data` with sx and the given options; the board file, exit status and stderr."""
    sent = board.write_file(name, data)
    errors = board.path / "receiver-stderr.txt"
    # Standard error apart: "EOT" and "All done" would otherwise reach sx on the line.
    command = (f"exec {shlex.quote(MPBOARD)} xmodem-receive {shlex.quote(str(board.path))} "
               f"/tmp/{name} 2>{shlex.quote(str(errors))}")
    child = pexpect.spawn("/bin/sh", ["-c", command], timeout=TIMEOUT, encoding="utf-8",
                          codec_errors="replace")
    console = Console(child)
    console.line("       before initiating the download.")
    console.wait_for_line_settings(download=True)
    console.keys("\r")
    status, sx_errors = console.xmodem_send(sent, *sender_args)
    assert status == 0, sx_errors
    # The switch-back message may have gone to sx, which was still reading the line.
    console.wait_for_line_settings(download=False)
    console.keys("\r")
    child.expect(pexpect.EOF)
    child.close()
    return (board.path / "tmp" / name).read_bytes(), child.exitstatus, errors.read_text()


# (sender options, block size, file size): whole blocks, a tail that needs padding, one byte.
CASES = [(["-k"], 1024, 70000), (["-k"], 1024, 4096), ([], 128, 3001), ([], 128, 1)]


@pytest.mark.parametrize("sender_args,block,size", CASES)
def test_sx_sends_exactly(board, sender_args, block, size):
    data = random.Random(size).randbytes(size)
    received, status, errors = receive(board, "image", sender_args, data)
    # sx fills the last block with 0x1A (SUB); 1K senders switch to 128-byte blocks for a tail.
    assert received[:size] == data
    assert len(received) % 128 == 0 and len(received) - size < block
    assert set(received[size:]) <= {0x1A}
    assert status == 0
    assert errors.endswith("EOT\nAll done\n")
    # A later run of the board would empty /tmp; this command leaves it as it is.
    assert (board.path / "tmp" / "image").stat().st_size == len(received)


def test_usage(board):
    proc = board.mpboard("xmodem-receive", check=2)
    assert b"usage: mpboard xmodem-receive DIR FILE" in proc.stderr
