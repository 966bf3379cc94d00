"""Rescue downloads from real peers (tftpd-hpa in a namespace of our own, lrzsz's sx on the
line)."""

from pathlib import Path

import pytest

from conftest import (BOARD_ADDR, MPBOARD, PEER_ADDR, TFTPD, floor_vpd, picocom, ppc, pristine_vpd,
                      signed, vm, vm_ppc)
from mppackage import KERNEL, app_line, application, record
from test_rescue_menu import MENU, choose
from test_xmodem_receiver import Picocom

APP = application("5.5.5.5")
PACKAGE = APP + record(KERNEL, b"\x4b" * 3000, "5.5.5.5")
NAME = "aAzZ09-pkg.img"  # both ends of each letter and digit range a file name may hold
QUESTIONS = ["IP addr    :", "Netmask    :", "Gateway    :", "Server addr:", "Image Filename: "]


def answer(console, prompt, text):
    console.expect_exact(prompt)
    console.keys(text + "\r")


def tftp(console, *answers):
    choose(console, "t")
    console.line(
        "Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):")
    for prompt, text in zip(QUESTIONS, answers):
        answer(console, prompt, text)


def install_and_boot(board, console, slot, source, *before, own_signature=b""):
    answer(console, "Install image as image 1 or 2 (hit return to just boot image): ", str(slot))
    console.line(f"Image{slot} updated succeeded", *MENU)
    choose(console, "e")
    console.line(*before, app_line("5.5.5.5"))
    assert console.finish()[0] == 0
    assert board.slot_file(slot) == APP + own_signature and board.vpd()[1] == slot
    assert (board.path / "dev/mtd-kernel").read_bytes().startswith(PACKAGE[len(APP):])
    # The board's own account: where the package came from and where each record went, and a
    # boot that went through the rescue menu.
    status = board.status()
    done, boot = status["install_history"]["entries"][-1], status["boot_history"]["entries"][-1]
    assert (done["source"], done["from"], done["result"]) == (*source, "installed")
    assert [(r["type"], r["target"], r["outcome"])
            for r in done["records"]] == [("application", f"slot{slot}", "written"),
                                          ("kernel", "kernel", "written")]
    assert boot["rescue_menu"] and boot["booted"] == f"slot{slot}"


# The whole TFTP rescue (the netmask typed with a slip, rubbed out); BusyBox configures eth1; the
# board's network namespace goes with the board. In a virtual machine the server is on the tap that
# is its eth1's other end, and the machine's own eth1 and commands are not seen from outside.
@pytest.mark.parametrize("kind,on_ppc", [("jail", False),
                                         pytest.param("jail", True, marks=ppc),
                                         pytest.param("vm", False, marks=vm),
                                         pytest.param("vm-ppc", False, marks=vm_ppc)],
                         ids=["host", "ppc", "vm", "vm-ppc"])
def test_tftp_rescue_installs_and_boots(new_board, peer_network, kind, on_ppc):
    board = new_board(rescue=True, kind=kind)
    console = board.console(netns=peer_network.board_ns, ppc=on_ppc)
    peer_network.attach(serve=board.write_file(f"served/{NAME}", PACKAGE).parent, tftpd=TFTPD,
                        vm=kind != "jail")
    tftp(console, BOARD_ADDR, "255.255.255.00\x7f", PEER_ADDR, PEER_ADDR, NAME)
    console.line("\tNetmask    : 255.255.255.0", f"\tGateway    : {PEER_ADDR}")
    console.expect_exact("Configuring management port..." + "." * 20 + "\r\n")
    console.line(f"Installing image {NAME} from TFTP server {PEER_ADDR}")
    if kind == "jail":
        assert "inet 10.77.0.2/24 " in peer_network.board_ip("addr", "show", "eth1")
        assert ",UP" in peer_network.board_ip("link", "show", "eth1")
        assert f"default via {PEER_ADDR} dev eth1" in peer_network.board_ip("route")
    install_and_boot(board, console, 2, ("tftp", f"{PEER_ADDR}:{NAME}"), "Booting image '2'")
    assert not Path("/run/netns", peer_network.board_ns).exists()  # mpboard removed its name
    assert kind != "jail" or f"system: tftp -g -r {NAME} -l /tmp/image {PEER_ADDR}\\n" in board.log(
        launcher=True)


# A failed download after a good one installs nothing (the earlier /tmp/image is gone); a silent
# server costs three attempts. The board holds a key and has a security floor of 5: an unsigned
# package is refused, the signed one of counter 5 installs with its own signature, an older one is
# refused and then, on the operator's yes (not on the default), installed all the same.
def test_failed_downloads(new_board, peer_network, keys):
    board = new_board(rescue=True)
    board.mpboard("keys", "add", keys / "rel.pub")
    board.mpboard("vpd", *floor_vpd(5))
    console = board.console(netns=peer_network.board_ns)
    board.write_file("served/pkg.img", PACKAGE)
    old = board.write_file("served/old.img", signed(keys, PACKAGE, "rel", "--security-counter",
                                                    "3"))
    peer_network.attach(
        serve=board.write_file("served/signed.img",
                               signed(keys, PACKAGE, "rel", "--security-counter", "5")).parent,
        tftpd=TFTPD)
    tftp(console, BOARD_ADDR, "", "", "10.77.0.9", "pkg.img")  # nobody there
    console.line(*[f"Attempt {n}/3 of tftp timed out" for n in (1, 2, 3)],
                 "Tftp download failed. Aborting", *MENU)
    tftp(console, BOARD_ADDR, "255.255.255.0", "", PEER_ADDR, "pkg.img")
    console.line("Package is not signed, voiding download", *MENU)
    tftp(console, BOARD_ADDR, "255.255.255.0", "", PEER_ADDR, "signed.img")
    answer(console, "Install image as image 1 or 2 (hit return to just boot image): ", "1")
    console.line("Image1 updated succeeded", *MENU)
    for yes in ("", "y"):
        tftp(console, BOARD_ADDR, "255.255.255.0", "", PEER_ADDR, "old.img")
        console.line("Package security counter 3 is below the board's floor 5, voiding download")
        answer(console, "Install the older package anyway? (y/N): ", yes)
        if not yes:  # the default: nothing installed
            console.line(*MENU)
    console.line("Installing an older package on the operator's word: security counter 3, the "
                 "board's floor 5.")
    answer(console, "Install image as image 1 or 2 (hit return to just boot image): ", "1")
    console.line("Image1 updated succeeded", *MENU)
    tftp(console, BOARD_ADDR, "255.255.255.0", "", PEER_ADDR, "missing.img")
    console.line(*[f"Attempt {n}/3 of tftp timed out" for n in (1, 2, 3)],
                 "Tftp download failed. Aborting", *MENU)
    choose(console, "e")
    console.line(app_line("5.5.5.5"))
    assert console.finish()[0] == 0
    own = old.read_bytes()[len(APP):len(APP) + 96]  # its own signature, with the counter
    assert board.slot_file(1) == APP + own and board.slot_file(2) == application("2.2.2.2")
    assert "security counter 3" in (board.path / "user/images/overrides").read_text()
    installs = board.status()["install_history"]["entries"]
    assert [(e["from"].split(":")[1], e["result"], e["reason"], e["override"])
            for e in installs] == [("pkg.img", "refused", "not-signed", False),
                                   ("signed.img", "installed", None, False),
                                   ("old.img", "refused", "below-floor", False),
                                   ("old.img", "refused", "below-floor", False),
                                   ("old.img", "installed", None, True)]


# q... at an address or q at the file name goes back to the menu with nothing configured; a name
# a shell would read as more than a name is refused; Ctrl-C at a question only rings the bell.
def test_quitting_and_hostile_file_names(new_board):
    board = new_board(rescue=True)
    console = board.console()
    choose(console, "t")
    console.expect_exact("IP addr    :")
    console.interrupt()
    answer(console, "\a", "q")
    for answers in [["Q1"], ["", "quit"], ["", "", "q"], ["", "", PEER_ADDR]]:
        console.line(*MENU)
        tftp(console, BOARD_ADDR, *answers)
    for name in ["a;reboot", "$(reboot)", "a b", "'q'", "Q"]:
        answer(console, "Image Filename: ", name)
        console.line("Invalid filename. Try again please")
    answer(console, "Image Filename: ", "q")
    console.line(*MENU)
    choose(console, "e")
    console.line(app_line("1.1.1.1"))
    assert console.finish()[0] == 0
    assert not [
        c for c in board.log() if c.startswith("reboot") or c.startswith("system: ") and
        ("ifconfig" in c or "tftp" in c or "route" in c)
    ]


# XMODEM on the console line (Enter waits tick each second), by a relay or picocom to sx; on a
# virtual-machine board the UART's switches to 115200 and back reach the relay's terminal.
@pytest.mark.parametrize("kind, terminal", [("jail", "relay"),
                                            pytest.param("jail", "picocom", marks=picocom),
                                            pytest.param("vm", "relay", marks=vm),
                                            pytest.param("vm-ppc", "relay", marks=vm_ppc)])
def test_xmodem_rescue_with_sx(new_board, kind, terminal):
    board = new_board(rescue=True, kind=kind)
    if terminal == "picocom":
        with Picocom(board, MPBOARD, "run", board.path, "--clock-scale", "1") as term:
            term.wait("Option? :")
            term.keys("x", until="Running xmodem rescue.....")
            term.send(board.write_file("pkg.img", PACKAGE),
                      "Install image as image 1 or 2 (hit return to just boot image):")
            term.keys("1", "Enter", until="Image1 updated succeeded")
        assert board.slot_file(1) == APP and board.vpd()[1] == 1
        return
    console = board.console(clock_scale="1")
    choose(console, "x")
    console.line("Running xmodem rescue.....",
                 "       Change the baud rate to 115200 bps and hit the <ENTER> key",
                 "       before initiating the download.")
    console.xmodem_download(board.write_file("pkg.img", PACKAGE), "-k")
    install_and_boot(board, console, 1, ("xmodem", "console"))
    assert board.vpd() == pristine_vpd(1, 1) and board.slot_file(2) == application("2.2.2.2")
    assert kind != "jail" or "system: /usr/bin/rx /tmp/image" in board.log(
        launcher=True)  # a VM's log is its own
