"""Rescue image: both slots are gone and the rescue partition holds a recovery application; the
operator answers its slot question on the console, or interrupts it, or the console is gone."""

import pytest

from conftest import MOUNT_LINE, RECOVERY, RESCUE_QUESTION, UNPACK_LINE, boot_log, pristine_vpd
from mppackage import app_line

NOTICE = "Booting recovery image. You will need to download and install an image before rebooting"


def reach_question(board):
    console = board.console()
    console.line("Booting image '1'")
    console.prompt(RESCUE_QUESTION)
    return console


# 1 or 2 installs the recovery image into that slot; return or any other answer boots it from
# /tmp and installs nothing; Ctrl-C (only a flag: the launcher lives on) and the end of input
# end the read without an answer.
@pytest.mark.parametrize("answer", ["1", "2", "", "3", "^C", "EOF"])
def test_slot_question(rescue_board, answer):
    board = rescue_board
    before = sorted(p.name for p in (board.path / "user").rglob("*"))
    console = reach_question(board)
    slot = int(answer) if answer in ("1", "2") else None
    if answer == "^C":
        console.interrupt()
        console.prompt("^C")  # the terminal's echo of the interrupt key
    elif answer == "EOF":
        console.child.sendeof()
    else:
        console.enter(answer)
        console.line(answer, "")  # the terminal's echo of the answer
        console.line(*[f"Installing recovery image as image{slot}...",
                       f"Setting boot image to {slot}"] if slot else [NOTICE])
    console.line(app_line("7.7.7.7"))
    assert console.finish()[0] == 0
    log = board.launcher_log()
    if not slot:
        answered = answer in ("", "3")
        text = (board.path / "console.txt").read_text()
        assert (NOTICE in text) == answered and "Installing" not in text
        assert sorted(p.name for p in (board.path / "user").rglob("*")) == before
        assert board.vpd() == pristine_vpd(booted=4 if answered else 0xFF)
        assert log == (boot_log(4) if answered else [MOUNT_LINE, UNPACK_LINE, log[-1]])
        assert log[-1] == "exec: /bin/backtrace"
        return
    assert board.vpd() == pristine_vpd(image=slot, booted=slot)
    # Exactly the one record, header included; the other slot stays empty.
    assert (board.slot_file(slot), board.slot_file(3 - slot)) == (RECOVERY, None)
    assert (board.path / "tmp/image").read_bytes() == RECOVERY
    assert log.index("system: mkdir /user/images &> /dev/null") < log.index(
        f"vpd-write: offset 1 value 0x0{slot}") < log.index(f"vpd-write: offset 59 value 0x0{slot}")


def test_question_without_a_terminal_and_a_slow_mkdir(rescue_board):
    # The question goes to standard output without a newline; the answer comes from standard
    # input whatever it is. "mkdir /user/images &> /dev/null": a shell that reads "&>" as "&"
    # then ">" would leave mkdir in the background and the copy into /user/images would fail;
    # this mkdir takes its time, so only a shell that waits for it gets the slot file.
    images = rescue_board.path / "user/images"
    for leftover in images.iterdir():
        leftover.unlink()
    images.rmdir()
    mkdir = rescue_board.path / "bin/mkdir"
    mkdir.unlink()
    mkdir.write_text('#!/bin/sh\nsleep 1\n/bin/busybox mkdir "$@"\n'
                     'echo "slow-mkdir: $* status $?" >> /var/log/board.log\n')
    mkdir.chmod(0o755)
    status, out, err = rescue_board.run(stdin=b"2\n")
    assert (status, err) == (0, "Failed to open Application image 1. Trying image 2.\n"
                             "Failed to open Application image 2. Trying rescue image\n")
    assert out == ("Booting image '1'\n" + RESCUE_QUESTION + "\nInstalling recovery image as "
                   "image2...\nSetting boot image to 2\n" + app_line("7.7.7.7") +
                   "\nargs=[] LD_PRELOAD=[]\n")
    assert rescue_board.slot_file(2) == RECOVERY
    log = rescue_board.log()
    assert log.index("slow-mkdir: /user/images status 0") < log.index(
        "vpd-write: offset 1 value 0x02")
