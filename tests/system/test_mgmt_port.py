"""The management port's questions answered in tmux with editing keys; BusyBox configures eth1."""

import os, shutil, subprocess, pytest  # noqa: E401

from conftest import MPBOARD, TIMEOUT, until, wait_for_console_read
from mppackage import PeerNetwork, app_line

DHCP = "Confirm: Use DHCP for network configuration? y/N: "


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("tmux"), reason="needs root and tmux")
def test_configuration_through_tmux(board):
    board.mpboard("env", "gdbserver=on", "shell=on")
    network = PeerNetwork(f"mpb-{os.getpid()}-tmux", f"mpp-{os.getpid()}-tmux")

    def tmux(*args):  # its socket in the board directory (a short relative path), never in /tmp
        return subprocess.run(["tmux", "-S", "tmux.sock", *args], check=True, cwd=board.path,
                              capture_output=True, text=True, timeout=30).stdout

    def shown(text):
        until(lambda: text.rstrip() in tmux("capture-pane", "-p"), f"the screen's {text!r}", TIMEOUT)
        return "\n".join(line.strip() for line in tmux("capture-pane", "-p").splitlines())

    tmux("-f", "/dev/null", "new-session", "-d", "-x", "120", "-y", "40",
         f"{MPBOARD} run {board.path} --clock-scale 0 --netns {network.board_ns}; sleep 60")
    try:
        pane = int(tmux("display-message", "-p", "#{pane_pid}").strip())
        network.attach()
        for prompt, *keys in [(DHCP, "y", "n", "C-b", "BSpace", "C-f", "Enter"),  # "y" deleted: "n"
                              ("IP addr    :", "10.77.9", "Left", "0.", "Up", "Delete", "Enter"),
                              ("Netmask    :", "255.255.255.00", "BSpace", "Enter"),
                              ("Gateway    :", "0.77.0.1", "C-a", "1", "Enter")]:
            shown(prompt)
            wait_for_console_read(pane)
            tmux("send-keys", "-t", "0", *keys)
        assert "\n".join([
            DHCP + "n", "", "IP addr    :10.77.0.9", "Netmask    :255.255.255.0", "Gateway    :10.77.0.1",
            "Netmask    : 255.255.255.0", "Gateway    : 10.77.0.1", "Configuring management port..." + "." * 20,
            "Booting image '1'"]) in shown("Dropping into shell")
        assert "inet 10.77.0.9/24 " in network.board_ip("addr", "show", "eth1")
        assert ",UP" in network.board_ip("link", "show", "eth1")
        assert "default via 10.77.0.1 dev eth1" in network.board_ip("route")
        tmux("send-keys", "-t", "0", "exit", "Enter")
        shown(app_line("1.1.1.1"))
    finally:
        subprocess.run(["tmux", "-S", "tmux.sock", "kill-server"], cwd=board.path, capture_output=True)
        network.close()
