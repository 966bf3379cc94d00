"""`mpboard xmodem-receive` on a sandbox board's serial line against lrzsz's `sx -k`."""

import random


def test_sx_sends_exactly(board):
    data = random.Random(1).randbytes(70000)  # 1K blocks, then a padded tail
    console = board.console("xmodem-receive", board.path, "/tmp/image")
    console.line("       before initiating the download.")
    console.xmodem_download(board.write_file("image", data), "-k")
    assert console.finish()[0] == 0
    received = (board.path / "tmp/image").read_bytes()
    assert received[:70000] == data and set(received[70000:]) <= {0x1A}
    assert len(received) % 128 == 0 and len(received) - 70000 < 1024
