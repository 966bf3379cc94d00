"""Rescue image: both slots are gone and the rescue partition holds a recovery application; the
operator answers its slot question on the console."""

import pytest

from conftest import (RECOVERY, RECOVERY_NOTICE, RESCUE_QUESTION, app_line, ordinary_boot_log,
                      pristine_vpd, reach_question)


# 1 or 2 installs the recovery image into that slot; return or any other answer boots it from
# /tmp and installs nothing.
@pytest.mark.parametrize("answer", ["1", "2", "", "3"])
def test_operator_answers_the_slot_question(rescue_board, answer):
    before = sorted(p.name for p in (rescue_board.path / "user").rglob("*"))
    console = reach_question(rescue_board)
    console.enter(answer)
    console.line(answer)  # the terminal's echo of the answer
    console.line("")
    slot = int(answer) if answer in ("1", "2") else None
    if slot:
        console.line(f"Installing recovery image as image{slot}...")
        console.line(f"Setting boot image to {slot}")
    else:
        console.line(RECOVERY_NOTICE)
    console.line(app_line("7.7.7.7"))
    assert console.finish()[0] == 0
    if not slot:
        assert rescue_board.vpd() == pristine_vpd(booted=4)
        assert sorted(p.name for p in (rescue_board.path / "user").rglob("*")) == before
        assert rescue_board.launcher_log() == ordinary_boot_log(4)
        return
    assert rescue_board.vpd() == pristine_vpd(image=slot, booted=slot)
    # Exactly the one record, header included; the other slot stays empty.
    assert rescue_board.slot_file(slot) == RECOVERY
    assert rescue_board.slot_file(3 - slot) is None
    assert (rescue_board.path / "tmp/image").read_bytes() == RECOVERY
    log = rescue_board.launcher_log()
    assert log.index("system: mkdir /user/images &> /dev/null") < log.index(
        f"vpd-write: offset 1 value 0x0{slot}") < log.index(
        f"vpd-write: offset 59 value 0x0{slot}")


def test_end_of_input_boots_without_touching_vpd(rescue_board):
    console = reach_question(rescue_board)
    console.child.sendeof()
    console.line(app_line("7.7.7.7"))
    assert console.finish()[0] == 0
    assert rescue_board.vpd() == pristine_vpd()
    assert not [line for line in rescue_board.launcher_log() if line.startswith("vpd-write")]


def test_streams_of_the_question_without_a_terminal(rescue_board):
    # The question goes to standard output without a newline; the answer comes from standard
    # input whatever it is.
    status, out, err = rescue_board.run(stdin=b"2\n")
    assert err == ("Failed to open Application image 1. Trying image 2.\n"
                   "Failed to open Application image 2. Trying rescue image\n")
    assert out.startswith("Booting image '1'\n" + RESCUE_QUESTION
                          + "\nInstalling recovery image as image2...\n"
                          "Setting boot image to 2\n" + app_line("7.7.7.7") + "\n")
    assert status == 0


def test_mkdir_behind_ampersand_redirection_finishes_before_copy(rescue_board):
    # "mkdir /user/images &> /dev/null": a shell that reads "&>" as "&" then ">" would leave
    # mkdir in the background and the copy into /user/images would fail. This mkdir takes its
    # time, so only a shell that waits for it gets the slot file.
    images = rescue_board.path / "user/images"
    for leftover in images.iterdir():
        leftover.unlink()
    images.rmdir()
    mkdir = rescue_board.path / "bin/mkdir"
    mkdir.unlink()
    mkdir.write_text('#!/bin/sh\nsleep 1\n/bin/busybox mkdir "$@"\n'
                     'echo "slow-mkdir: $* status $?" >> /var/log/board.log\n')
    mkdir.chmod(0o755)
    status, out, err = rescue_board.run(stdin=b"1\n")
    assert status == 0
    assert "Setting boot image to 1\n" in out
    assert rescue_board.slot_file(1) == RECOVERY
    log = rescue_board.log()
    assert log.index("slow-mkdir: /user/images status 0") < log.index(
        "vpd-write: offset 1 value 0x01")
