"""Both slots gone, the rescue partition's recovery application asks where to install itself."""

import pytest

from conftest import MOUNT_LINE, UNPACK_LINE, boot_log, pristine_vpd
from mppackage import app_line, application

QUESTION = "Install recovery image as image 1 or 2 (hit return to just boot image): "
NOTICE = "Booting recovery image. You will need to download and install an image before rebooting"
RECOVERY = application("7.7.7.7")


# 1 or 2 installs the recovery image into that slot; return or another answer boots it from /tmp
# and installs nothing; Ctrl-C (only a flag) and the end of input end the read unanswered. "2\n"
# comes on standard input without a terminal. /user/images is missing, and its mkdir is slow: a
# shell that read "mkdir ... &> /dev/null" as "&" then ">" would go on before it and lose the copy.
@pytest.mark.parametrize("answer", ["1", "2\n", "", "3", "^C", "EOF"])
def test_slot_question(board, answer):
    board.slot(1, None)
    board.slot(2, None)
    board.flash("rescue", RECOVERY)
    (board.path / "user/images").rmdir()
    (board.path / "bin/mkdir").unlink()
    (board.path / "bin/mkdir").write_text('#!/bin/sh\nsleep 1\n/bin/busybox mkdir "$@"\n'
                                          'echo "slow-mkdir: $* status $?" >> /var/log/board.log\n')
    (board.path / "bin/mkdir").chmod(0o755)
    slot = int(answer) if answer.strip() in ("1", "2") else None
    if answer == "2\n":
        assert board.run(stdin=b"2\n") == (0, "Booting image '1'\n" + QUESTION + "\nInstalling recovery image as "
                                           "image2...\nSetting boot image to 2\n" + app_line("7.7.7.7") +
                                           "\nargs=[] LD_PRELOAD=[]\n", "Failed to open Application image 1. "
                                           "Trying image 2.\nFailed to open Application image 2. Trying rescue image\n")
    else:
        console = board.console()
        console.line("Booting image '1'")
        console.expect_exact(QUESTION)
        if answer == "^C":
            console.interrupt()
            console.expect_exact("^C")  # the terminal's echo of the interrupt key
        elif answer == "EOF":
            console.sendeof()
        else:
            console.send(answer + "\r")
            console.line(answer, "")  # the terminal's echo of the answer
            console.line(*[f"Installing recovery image as image{slot}...", f"Setting boot image to {slot}"]
                         if slot else [NOTICE])
        console.line(app_line("7.7.7.7"))
        assert console.finish()[0] == 0
    log = board.log()
    if not slot:
        answered = answer in ("", "3")
        text = (board.path / "console.txt").read_text()
        assert (NOTICE in text) == answered and "Installing" not in text and not (board.path / "user/images").exists()
        assert board.vpd() == pristine_vpd(booted=4 if answered else 0xFF)
        assert board.log(launcher=True) == (boot_log(4) if answered else [MOUNT_LINE, UNPACK_LINE, "exec: /bin/backtrace"])
        return
    assert board.vpd() == pristine_vpd(image=slot, booted=slot)
    # Exactly the one record, header included; the other slot stays empty.
    assert (board.slot_file(slot), board.slot_file(3 - slot), (board.path / "tmp/image").read_bytes()) == (
        RECOVERY, None, RECOVERY)
    assert log.index("system: mkdir /user/images &> /dev/null") < log.index("slow-mkdir: /user/images status 0") < \
        log.index(f"vpd-write: offset 1 value 0x0{slot}") < log.index(f"vpd-write: offset 59 value 0x0{slot}")
