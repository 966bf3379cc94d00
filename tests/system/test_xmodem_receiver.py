"""`mpboard xmodem-receive` on a sandbox board's serial line against lrzsz's sx."""

import random

import pytest


# Sender options, block size, file size: whole blocks, a tail that needs padding, one byte.
@pytest.mark.parametrize("options, block, size", [
    (["-k"], 1024, 70000), (["-k"], 1024, 4096), ([], 128, 3001), ([], 128, 1)])
def test_sx_sends_exactly(board, options, block, size):
    data = random.Random(size).randbytes(size)
    # Standard error apart: "EOT" and "All done" would otherwise reach sx on the line.
    console = board.console("xmodem-receive", board.path, "/tmp/image")
    console.line("       before initiating the download.")
    console.xmodem_download(board.write_file("image", data), *options)
    assert console.finish()[0] == 0
    received = (board.path / "tmp/image").read_bytes()
    # sx fills the last block with 0x1A (SUB); 1K senders switch to 128-byte blocks for a tail.
    assert received[:size] == data and set(received[size:]) <= {0x1A}
    assert len(received) % 128 == 0 and len(received) - size < block
    assert (board.path / "stderr.txt").read_text().endswith("EOT\nAll done\n")
