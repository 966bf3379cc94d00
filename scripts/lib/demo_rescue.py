"""The demo's TFTP rescue: a person at the board's console answers the rescue menu's questions
while a TFTP server in a network namespace of its own serves the package.

    demo_rescue.py MPBOARD BOARD PACKAGE TFTPD

Boots BOARD (its boot settings ask for the rescue menu) on a pseudo-terminal, gives it an eth1
whose other end is in the namespace "mpdemo-peer" with 10.77.0.1, where in.tftpd serves PACKAGE,
types the operator's answers and shows the console as the operator sees it. The package goes to
image slot 2, then E leaves the menu and the board boots it. Everything it started (the server,
both namespaces) is gone when it ends, also after a failure or an interrupt."""

import shutil
import sys
import time
from pathlib import Path

import pexpect

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "pylib"))
from mppackage import PeerNetwork  # noqa: E402

PEER, ADDRESS = "10.77.0.1", "10.77.0.2"


def main():
    mpboard, board, package, tftpd = sys.argv[1:5]
    served = Path(board).parent / "tftp-root"
    shutil.rmtree(served, ignore_errors=True)
    served.mkdir()
    shutil.copyfile(package, served / "my-package.img")
    network = PeerNetwork("mpdemo-board", "mpdemo-peer", PEER, timeout=30)
    console = None
    try:
        console = pexpect.spawn(mpboard,
                                ["run", board, "--clock-scale", "0", "--netns", network.board_ns],
                                timeout=60, encoding="utf-8", codec_errors="replace",
                                dimensions=(24, 100))
        console.logfile_read = sys.stdout
        network.attach(serve=served, tftpd=tftpd)
        for prompt, keys in [("Option? : ", "t"), ("IP addr    :", ADDRESS + "\r"),
                             ("Netmask    :", "255.255.255.0\r"), ("Gateway    :", "\r"),
                             ("Server addr:", PEER + "\r"),
                             ("Image Filename: ", "my-package.img\r"),
                             ("(hit return to just boot image): ", "2\r"), ("Option? : ", "e")]:
            console.expect_exact(prompt)
            for key in keys:
                console.send(key)
                time.sleep(0.03)  # a quick typist, so the echo can be followed
        console.expect(pexpect.EOF)
        console.close()
        return console.exitstatus
    except AssertionError as e:
        raise SystemExit(f"demo: {e}")
    finally:
        if console is not None and console.isalive():
            console.terminate(force=True)
        network.close()


if __name__ == "__main__":
    sys.exit(main())
