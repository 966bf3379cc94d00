"""Both slots gone, the rescue partition's recovery application asks where to install itself."""

import os
import signal

import pexpect
import pytest

from conftest import VM_KINDS, MOUNT_LINE, UNPACK_LINE, boot_log, pristine_vpd, signed
from mppackage import app_line, application

QUESTION = "Install recovery image as image 1 or 2 (hit return to just boot image): "
NOTICE = "Booting recovery image. You will need to download and install an image before rebooting"
RECOVERY = application("7.7.7.7")


# 1 or 2 installs it into that slot; another answer boots it from /tmp; Ctrl-C (a flag only) ends
# the read unanswered. A slow mkdir: a shell that read "&> /dev/null" as "&" would lose the copy.
# For 2, /user/images stays with an empty directory at the copy's name, which cp must not copy into,
# and the slot confirmed, which the copy puts on trial.
@pytest.mark.parametrize("answer", ["1", "2", "3", "^C"])
def test_slot_question(board, answer):
    board.slot(1, None)
    board.slot(2, None)
    board.flash("rescue", RECOVERY)
    images = board.path / "user/images"
    if answer == "2":
        (images / "image2.new").mkdir()
        (images / "bootcount").write_text("image1 2 trial\nimage2 0 confirmed\n")
    else:
        images.rmdir()
    (board.path / "bin/mkdir").unlink()
    (board.path / "bin/mkdir").write_text('#!/bin/sh\nsleep 1\n/bin/busybox mkdir "$@"\n'
                                          'echo "slow-mkdir: $* status $?" >> /var/log/board.log\n')
    (board.path / "bin/mkdir").chmod(0o755)
    slot = int(answer) if answer in ("1", "2") else None
    console = board.console()
    console.line("Booting image '1'")
    console.expect_exact(QUESTION)
    if answer == "^C":
        console.interrupt()
        console.expect_exact("^C")  # the terminal's echo of the interrupt key
    else:
        console.send(answer + "\r")
        console.line(
            answer, "",
            *[f"Installing recovery image as image{slot}...", f"Setting boot image to {slot}"]
            if slot else [NOTICE])
    console.line(app_line("7.7.7.7"))
    assert console.finish()[0] == 0
    assert board.last_boot() == "slot1:missing slot2:missing rescue-image:booted -> rescue-image"
    log = board.log()
    if not slot:
        text = (board.path / "console.txt").read_text()
        assert (NOTICE in text) == (answer == "3") and "Installing" not in text
        assert not (board.path / "user/images").exists()
        assert board.vpd() == pristine_vpd(booted=4 if answer == "3" else 0xFF)
        assert board.log(launcher=True) == (boot_log(4) if answer == "3" else
                                            [MOUNT_LINE, UNPACK_LINE, "exec: /bin/backtrace"])
        return
    assert board.vpd() == pristine_vpd(image=slot, booted=slot)
    assert (board.slot_file(slot), board.slot_file(3 - slot),
            (board.path / "tmp/image").read_bytes()) == (RECOVERY, None, RECOVERY)
    assert not (images / f"image{slot}.new").exists()
    assert slot == 1 or (images / "bootcount").read_text() == "image1 2 trial\nimage2 0 trial\n"
    done = board.status()["install_history"]["entries"][-1]
    assert (done["source"], done["result"], done["records"]) == ("rescue-image", "installed", [{
        "type": "application", "version": "7.7.7.7", "target": f"slot{slot}", "outcome": "written"
    }])
    mkdir = f"slow-mkdir: /user/images status {slot - 1}"  # 2: the directory was there
    order = [
        "system: mkdir /user/images &> /dev/null", mkdir, f"vpd-write: offset 1 value 0x0{slot}",
        f"vpd-write: offset 59 value 0x0{slot}"
    ]
    assert [log.index(line) for line in order] == sorted(log.index(line) for line in order)


# A power cut of a virtual machine (qemu and mpboard killed) once the recovery application runs
# from its slot: the flash, left in run/vm-flash, holds the whole copy and the VPD bytes the
# launcher wrote, and a jailed command brings them back first; env, flash and vpd read and write
# their bytes in it, booting no machine.
@pytest.mark.parametrize("board", VM_KINDS, indirect=True)
def test_cut_after_the_copy(board):
    board.slot(1, None)
    board.slot(2, None)
    board.flash("rescue", RECOVERY)
    console = board.console()
    console.expect_exact(QUESTION)
    console.send("2\r")
    console.expect_exact(app_line("7.7.7.7"))
    os.killpg(console.pid, signal.SIGKILL)
    console.expect(pexpect.EOF)
    assert (board.path / "run/vm-flash").exists() and board.slot_file(2) is None
    board.mpboard("env", "probe=1"), board.flash("devicetree", b"dt"), board.mpboard("vpd", "7=7")
    assert (board.path / "run/vm-flash").exists() and "probe=1" in board.mpboard("env")
    assert board.vpd() == {**pristine_vpd(image=2, booted=2), 7: 7}
    board.mpboard("slot", 1, "--remove")
    assert (board.slot_file(1), board.slot_file(2)) == (None, RECOVERY)
    assert not (board.path / "run/vm-flash").exists() and "probe=1" in board.mpboard("env")
    assert (board.path / "dev/mtd-devicetree").read_bytes()[:3] == b"dt\xff"
    assert board.vpd() == {**pristine_vpd(image=2, booted=2), 7: 7}  # the VPD file's again


def test_verified_copy(
        board, keys):  # with verify=on, a signed recovery application's copy verifies in its slot
    board.mpboard("env", "verify=on")
    board.mpboard("keys", "add", keys / "rel.pub")
    board.slot(1, None)
    board.slot(2, None)
    board.flash("rescue", signed(keys, RECOVERY))
    assert "Setting boot image to 2" in board.run(b"2\n")[
        1]  # the copy into slot 2, then a boot of it
    code, out, err = board.run()
    assert (code, err, out.startswith("Booting image '2'\n" + app_line("7.7.7.7"))) == (0, "",
                                                                                        True), out
    assert board.vpd() == pristine_vpd(image=2, booted=2)
