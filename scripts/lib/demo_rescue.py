"""The demo's TFTP rescue: a person at the board's console answers the rescue menu's questions
while a TFTP server in a network namespace of its own serves the package.

    demo_rescue.py MPBOARD BOARD PACKAGE TFTPD

Boots BOARD (its boot settings ask for the rescue menu) on a pseudo-terminal, gives it an eth1
whose other end is in the namespace "mpdemo-peer" with 10.77.0.1, where in.tftpd serves PACKAGE,
types the operator's answers and shows the console as the operator sees it. The package goes to
image slot 2, then E leaves the menu and the board boots it. Everything it started (the server,
both namespaces) is gone when it ends, also after a failure or an interrupt."""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pexpect

BOARD_NS, PEER_NS = "mpdemo-board", "mpdemo-peer"
PEER, ADDRESS = "10.77.0.1", "10.77.0.2"


def ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, capture_output=True, text=True)


def wait_for(test, what, seconds=30):
    deadline = time.monotonic() + seconds
    while not test():
        if time.monotonic() > deadline:
            raise SystemExit(f"demo: {what} did not happen within {seconds} s")
        time.sleep(0.05)


def type_keys(console, text):
    for key in text:
        console.send(key)
        time.sleep(0.03)  # a quick typist, so the echo can be followed


def main():
    mpboard, board, package, tftpd = sys.argv[1:5]
    served = Path(board).parent / "tftp-root"
    shutil.rmtree(served, ignore_errors=True)
    served.mkdir()
    served.chmod(0o755)
    shutil.copyfile(package, served / "my-package.img")
    (served / "my-package.img").chmod(0o644)

    for ns in (PEER_NS, BOARD_NS):  # left by an interrupted earlier run
        ip("netns", "del", ns, check=False)
    server = console = None
    try:
        ip("netns", "add", PEER_NS)
        ip("-n", PEER_NS, "link", "set", "lo", "up")
        console = pexpect.spawn(mpboard, ["run", board, "--clock-scale", "0", "--netns",
                                          BOARD_NS], timeout=60, encoding="utf-8",
                                codec_errors="replace", dimensions=(24, 100))
        console.logfile_read = sys.stdout
        wait_for(lambda: Path("/run/netns", BOARD_NS).exists(), "the board's namespace")
        ip("-n", PEER_NS, "link", "add", "peer0", "type", "veth", "peer", "name", "eth1",
           "netns", BOARD_NS)
        ip("-n", PEER_NS, "addr", "add", f"{PEER}/24", "dev", "peer0")
        ip("-n", PEER_NS, "link", "set", "peer0", "up")
        # The server binds to its address, which exists from here on.
        server = subprocess.Popen(["ip", "netns", "exec", PEER_NS, tftpd, "-L", "-l", "-4",
                                   "-a", f"{PEER}:69", "-s", str(served)],
                                  stdin=subprocess.DEVNULL)
        wait_for(lambda: ":69 " in ip("netns", "exec", PEER_NS, "ss", "-Hlun").stdout or
                 server.poll() is not None, "the TFTP server's start")
        if server.poll() is not None:
            raise SystemExit(f"demo: the TFTP server ended at once (status {server.returncode})")

        for prompt, keys in [("Option? : ", "t"), ("IP addr    :", ADDRESS + "\r"),
                             ("Netmask    :", "255.255.255.0\r"), ("Gateway    :", "\r"),
                             ("Server addr:", PEER + "\r"),
                             ("Image Filename: ", "my-package.img\r"),
                             ("(hit return to just boot image): ", "2\r"),
                             ("Option? : ", "e")]:
            console.expect_exact(prompt)
            type_keys(console, keys)
        console.expect(pexpect.EOF)
        console.close()
        return console.exitstatus
    finally:
        if console is not None and console.isalive():
            console.terminate(force=True)
        if server is not None:
            server.terminate()
            server.wait(timeout=10)
        # mpboard removes the board's name when it ends; one that was killed cannot.
        for ns in (PEER_NS, BOARD_NS):
            ip("netns", "del", ns, check=False)


if __name__ == "__main__":
    sys.exit(main())
