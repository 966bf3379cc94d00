"""The remote-debugger boot's network questions: a field engineer answers them on the console
with the terminal's editing keys, and the board's BusyBox ifconfig and route configure its eth1
in the board's own network namespace (`mpboard run --netns`), read back here with `ip`."""

import os
import shutil
import subprocess
import time

import pytest

from conftest import TIMEOUT, PeerNetwork, app_line, wait_for_console_read

DHCP = "Confirm: Use DHCP for network configuration? y/N: "
IP, NETMASK, GATEWAY = "IP addr    :", "Netmask    :", "Gateway    :"
CONFIGURING = "Configuring management port..." + "." * 20
SHELL = "Dropping into shell"
UP, DELETE, BS = "\x1b[A", "\x1b[3~", "\x7f"


def remote_debugger(board, shell=False):
    board.env("gdbserver=on", *["shell=on"] * shell)
    return board


@pytest.fixture
def board_network(request):
    """The board's namespace name and a peer namespace holding the other end of its eth1."""
    if os.geteuid() != 0:
        pytest.skip("network namespaces for a board need root")
    network = PeerNetwork(f"{os.getpid()}-{abs(hash(request.node.name)) % 10000}")
    yield network
    network.close()


def board_ip(network, *args):
    return subprocess.run(["ip", "-n", network.board_ns, "-4", "-o", *args], check=True,
                          capture_output=True, text=True, timeout=30).stdout


def check_configured(network):
    """eth1 as the board's ifconfig and route left it: address, netmask, up, default route."""
    assert "inet 10.77.0.9/24 " in board_ip(network, "addr", "show", "eth1")
    assert ",UP" in board_ip(network, "link", "show", "eth1")
    assert "default via 10.77.0.1 dev eth1" in board_ip(network, "route", "show")


def test_static_configuration_with_editing_keys(test_board, board_network):
    """Every answer typed with the editing keys; the configuration checked while the operator
    shell holds the boot (the board's namespace lives as long as its run)."""
    console = remote_debugger(test_board, shell=True).console(netns=board_network.board_ns)
    board_network.attach()
    console.prompt(DHCP)
    console.answer("yn\x02" + BS + "\x06\r")  # "y" typed, then deleted: "n"
    console.prompt(IP)
    console.answer("1077.0.99\x01\x06\x06." + "\x1b[C" * 7 + UP + DELETE + BS + "\r")
    console.prompt(NETMASK)
    console.answer("255.255.255.00" + BS + "\r")
    console.prompt(GATEWAY)
    console.answer("10.77.0.1\x1bOC" + BS + BS + "\r")
    console.line("\tNetmask    : 255.255.255.0")
    console.line("\tGateway    : 10.77.0.1")
    console.line(CONFIGURING)
    console.line("Booting image '1'")
    console.line(SHELL)
    check_configured(board_network)
    console.enter("exit")
    console.line(app_line("1.1.1.1"))
    assert console.finish()[0] == 0


class Tmux:
    """A real terminal multiplexer with the board in its one pane; its server's socket lives
    in the board directory, never in the host's /tmp."""

    def __init__(self, board, command):
        # Relative to the board: a socket's path must stay short.
        self.board = board.path
        self.tmux("-f", "/dev/null", "new-session", "-d", "-x", "120", "-y", "40", command)
        self.pane_pid = int(self.tmux("display-message", "-p", "#{pane_pid}").strip())

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", "tmux.sock", *args], check=True, cwd=self.board,
                              capture_output=True, text=True, timeout=30).stdout

    def screen(self):
        return self.tmux("capture-pane", "-p")

    def wait_for(self, text):
        deadline = time.monotonic() + TIMEOUT
        while text.rstrip() not in self.screen():
            assert time.monotonic() < deadline, f"never shown: {text!r}\n{self.screen()}"
            time.sleep(0.02)

    def keys(self, *keys):
        """tmux's own sequences for named keys (Left, BSpace, Delete, Up, Enter), in one go."""
        wait_for_console_read(self.pane_pid)
        self.tmux("send-keys", "-t", "0", *keys)

    def close(self):
        subprocess.run(["tmux", "-S", "tmux.sock", "kill-server"], cwd=self.board,
                       capture_output=True)


def test_configuration_through_tmux(test_board, board_network):
    if shutil.which("tmux") is None:
        pytest.skip("no tmux")
    remote_debugger(test_board, shell=True)
    mpboard = os.environ.get("MPBOARD", "mpboard")
    tmux = Tmux(test_board, f"{mpboard} run {test_board.path} --clock-scale 0 "
                            f"--netns {board_network.board_ns}; sleep 60")
    try:
        board_network.attach()
        tmux.wait_for(DHCP)
        tmux.keys("N", "Enter")
        tmux.wait_for(IP)
        tmux.keys("10.77.9", "Left", "0.", "Up", "Delete", "Enter")
        tmux.wait_for(NETMASK)
        tmux.keys("255.255.255.00", "BSpace", "Enter")
        tmux.wait_for(GATEWAY)
        tmux.keys("10.77.0.1x", "BSpace", "Enter")
        tmux.wait_for(SHELL)
        check_configured(board_network)
        screen = tmux.screen()
        for line in (DHCP + "N", IP + "10.77.0.9", NETMASK + "255.255.255.0",
                     GATEWAY + "10.77.0.1", CONFIGURING):
            assert line in screen.splitlines(), screen
        tmux.tmux("send-keys", "-t", "0", "exit", "Enter")
        tmux.wait_for(app_line("1.1.1.1"))
    finally:
        tmux.close()
