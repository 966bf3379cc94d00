"""Rescue downloads with real peers: the operator answers the TFTP questions on the console, the
board's BusyBox configures its eth1 and fetches the package from tftpd-hpa in a network namespace
of the test's own; or the operator switches the line and lrzsz's sx sends the package to the
board's BusyBox rx over the console line. The installer then writes it to flash, slot and VPD."""

import pytest

from conftest import (BOARD_ADDR, KERNEL, PEER_ADDR, application, app_line, record,
                      rescue_mode)
from test_rescue_menu import choose, menu

PACKAGE = application("5.5.5.5") + record(KERNEL, b"\x4b" * 3000, "5.5.5.5")
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
HOSTILE_NAMES = ["a;reboot", "$(reboot)", "`reboot`", "a b", "x|y", "a&b", "f>g", "'q'", "a\\b",
                 "Q"]


def answer(console, prompt, text):
    console.prompt(prompt)
    console.keys(text + "\r")


def tftp_answers(console, server=PEER_ADDR, name="pkg.img", netmask="255.255.255.0"):
    console.line("Performing TFTP rescue. Please answer the following questions "
                 "(enter 'q' to quit):")
    for prompt, text in [("IP addr    :", BOARD_ADDR), ("Netmask    :", netmask),
                         ("Gateway    :", ""), ("Server addr:", server),
                         ("Image Filename: ", name)]:
        answer(console, prompt, text)


def install_into(console, slot):
    answer(console, SLOT_QUESTION, str(slot))
    console.line(f"Image{slot} updated succeeded")
    menu(console)


def served_package(board):
    served = board.path / "served"
    served.mkdir()
    (served / "pkg.img").write_bytes(PACKAGE)
    return served


def assert_installed(board, slot):
    assert board.slot_file(slot) == PACKAGE[:len(application("5.5.5.5"))]
    kernel = (board.path / "dev/mtd-kernel").read_bytes()
    assert kernel.startswith(PACKAGE[len(application("5.5.5.5")):])
    assert board.vpd()[1] == slot


# The whole TFTP rescue, then E boots the newly installed slot; once with the static powerpc
# launcher under qemu.
@pytest.mark.parametrize("ppc", [False, True], ids=["host", "ppc"])
def test_tftp_rescue_installs_and_boots(test_board, peer_network, ppc, request):
    if ppc:
        request.getfixturevalue("ppc_ready")
    board = rescue_mode(test_board)
    console = board.console(netns=peer_network.board_ns, ppc=ppc)
    peer_network.attach(serve=served_package(board))
    choose(console, "t")
    tftp_answers(console)
    console.line("\tNetmask    : 255.255.255.0")
    console.prompt("Configuring management port..." + "." * 20 + "\r\n")
    console.line(f"Installing image pkg.img from TFTP server {PEER_ADDR}")
    install_into(console, 2)
    assert peer_network.board_addresses() == [f"{BOARD_ADDR}/24"]
    choose(console, "e")
    console.line("Booting image '2'")
    console.line(app_line("5.5.5.5"))
    assert console.finish()[0] == 0
    assert_installed(board, 2)
    assert f"system: tftp -g -r pkg.img -l /tmp/image {PEER_ADDR}\\n" in board.launcher_log()


# A download that fails leaves an earlier /tmp/image in place, and that is installed again; a
# server that never answers costs three attempts.
def test_failed_downloads(test_board, peer_network):
    board = rescue_mode(test_board)
    console = board.console(netns=peer_network.board_ns)
    peer_network.attach(serve=served_package(board))
    choose(console, "t")
    tftp_answers(console, server="10.77.0.9", netmask="")  # nobody there
    for attempt in (1, 2, 3):
        console.line(f"Attempt {attempt}/3 of tftp timed out")
    console.line("Tftp download failed. Aborting")
    menu(console)
    choose(console, "t")
    tftp_answers(console)
    install_into(console, 1)
    choose(console, "t")
    tftp_answers(console, name="missing.img")
    console.line(f"Installing image missing.img from TFTP server {PEER_ADDR}")
    install_into(console, 2)
    choose(console, "e")
    console.line(app_line("5.5.5.5"))
    assert console.finish()[0] == 0
    assert_installed(board, 2)
    assert board.slot_file(1) == board.slot_file(2)


# q (or anything beginning with q) at an address question, and the answer q at the file name,
# go back to the menu at once with nothing configured; a name that the shell would read as more
# than a name is refused.
def test_quitting_and_hostile_file_names(test_board):
    board = rescue_mode(test_board)
    console = board.console()
    # Ctrl-C while an answer is typed only rings the bell; the menu forgets it afterwards, so
    # the next key at the menu counts.
    choose(console, "t")
    console.prompt("IP addr    :")
    console.interrupt()
    answer(console, "\a", "q")
    menu(console)
    for answers in [[BOARD_ADDR, "Q1"], [BOARD_ADDR, "", "quit"],
                    [BOARD_ADDR, "", "", "q"]]:
        choose(console, "t")
        for prompt, text in zip(["IP addr    :", "Netmask    :", "Gateway    :", "Server addr:"],
                                answers):
            answer(console, prompt, text)
        menu(console)
    choose(console, "t")
    for prompt, text in [("IP addr    :", BOARD_ADDR), ("Netmask    :", ""),
                         ("Gateway    :", ""), ("Server addr:", PEER_ADDR)]:
        answer(console, prompt, text)
    for name in HOSTILE_NAMES:
        answer(console, "Image Filename: ", name)
        console.line("Invalid filename. Try again please")
    answer(console, "Image Filename: ", "q")
    menu(console)
    choose(console, "e")
    console.line(app_line("1.1.1.1"))
    assert console.finish()[0] == 0
    commands = [line for line in board.launcher_log() if line.startswith("system: ")]
    assert not [c for c in commands if "ifconfig" in c or "tftp" in c or "route" in c]
    assert [line for line in board.log() if line.startswith("reboot")] == []


# XMODEM over the console line: Enter at the download speed, sx sends, Enter at the console's
# speed again, and the installer writes the package. The Enter waits tick once a second.
def test_xmodem_rescue_with_sx(test_board):
    board = rescue_mode(test_board)
    package = board.write_file("pkg.img", PACKAGE)
    console = board.console(clock_scale="1")
    choose(console, "x")
    console.line("Running xmodem rescue.....")
    console.line("       Change the baud rate to 115200 bps and hit the <ENTER> key")
    console.line("       before initiating the download.")
    console.wait_for_line_settings(download=True)
    console.keys("\r")
    status, errors = console.xmodem_send(package, "-k")
    assert status == 0, errors
    # The switch-back message may have gone to sx, which was still reading the line.
    console.wait_for_line_settings(download=False)
    console.keys("\r")
    install_into(console, 1)
    choose(console, "e")
    console.line(app_line("5.5.5.5"))
    assert console.finish()[0] == 0
    assert_installed(board, 1)
    assert "system: /usr/bin/rx /tmp/image" in board.launcher_log()
