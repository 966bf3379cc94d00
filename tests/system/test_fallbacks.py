"""Fallbacks: a damaged or missing slot hands over to the other slot, then to the rescue image in
flash, and a board with nothing bootable reboots. Runs without a terminal so that the failure
lines can be shown to be on standard error and the progress lines on standard output."""

import pytest

from conftest import (DIAGS_LINES, KERNEL, MOUNT_LINE, RESET_LINE, UNPACK_LINE,
                      app_line, application, damaged, diag_line, ordinary_boot_log,
                      pristine_vpd, record)

NO_SLOT_1 = "Failed to open Application image 1. Trying image 2.\n"
NO_SLOT_2 = "Failed to open Application image 2. Trying rescue image\n"
CRC_1 = "Image1 CRC failed, trying Image2 now.\n"
INVALID_1 = "Image1 has invalid header... trying Image2.\n"
BOTH_FAILED = "Both image1 and image2 failed.\n"
BOOT_1, BOOT_2 = "Booting image '1'\n", "Booting image '2'\n"
DIAGS_OUT = "Launching diagnostics image\ninstall diags image\n" + diag_line("4.4.4.4") + "\n"
KEEP = "keep"


def booted(board, slot):
    assert board.vpd() == pristine_vpd(booted=slot)
    if slot == 4:
        # The rescue partition's diagnostics: moved into the application's place first.
        assert board.launcher_log() == [MOUNT_LINE, "vpd-write: offset 59 value 0x04",
                                        UNPACK_LINE, *DIAGS_LINES, "exec: /bin/backtrace"]
    else:
        assert board.launcher_log() == ordinary_boot_log(slot)


# slot 1, slot 2, rescue partition; standard error; the start of standard output (all of it when
# the board reboots); the slot booted or "reset".
@pytest.mark.parametrize("slot1, slot2, rescue, err, out, outcome", [
    (damaged(application("1.1.1.1")), KEEP, KEEP, CRC_1,
     BOOT_1 + BOOT_2 + app_line("2.2.2.2") + "\n", 2),
    # The attempt still belongs to slot 1: the booted-slot byte says 1.
    (None, KEEP, KEEP, NO_SLOT_1, BOOT_1 + app_line("2.2.2.2") + "\n", 1),
    (record(KERNEL, b"only a kernel", "5.0.0.1"), KEEP, KEEP,
     "Image has invalid header 0x3504f4c. (0x6504f4c)\n" + INVALID_1,
     BOOT_1 + BOOT_2 + app_line("2.2.2.2") + "\n", 2),
    (None, None, KEEP, NO_SLOT_1 + NO_SLOT_2, BOOT_1 + DIAGS_OUT, 4),
    (damaged(application("1.1.1.1")), record(KERNEL, b"k" * 64), KEEP,
     CRC_1 + "No valid application image found. Trying rescue image\n",
     BOOT_1 + BOOT_2 + DIAGS_OUT, 4),
    (damaged(application("1.0.0.0"), at=20), damaged(application("2.0.0.0"), at=20), KEEP,
     CRC_1 + BOTH_FAILED, BOOT_1 + BOOT_2, "reset"),
    # Not even one header could be read from slot 1: nothing to name but 0.
    (b"short", damaged(application("2.2.2.2")), KEEP,
     "Image has invalid header 0x0. (0x6504f4c)\n" + INVALID_1 + BOTH_FAILED, BOOT_1 + BOOT_2,
     "reset"),
    (None, None, b"", NO_SLOT_1 + NO_SLOT_2 + "Image not found... \n", BOOT_1, "reset"),
    (None, None, record(0x06504F4C, b"diagnostics", bad_crc=True),
     NO_SLOT_1 + NO_SLOT_2 + "Image CRC failed. Quitting\n", BOOT_1, "reset"),
], ids=["crc1", "missing1", "kernel-only1", "no-slots", "crc1-kernel-only2", "crc-both",
        "short1-crc2", "erased-rescue", "damaged-rescue"])
def test_fallback(test_board, slot1, slot2, rescue, err, out, outcome):
    for n, data in ((1, slot1), (2, slot2)):
        if data is not KEEP:
            test_board.slot(n, data)
    if rescue is not KEEP:
        test_board.flash("rescue", rescue)
    status, got_out, got_err = test_board.run()
    assert (status, got_err) == (0, err)
    if outcome == "reset":
        assert got_out == out
        assert test_board.vpd() == pristine_vpd()
        assert test_board.log()[-1].startswith("reboot"), test_board.log()
        assert test_board.launcher_log()[-1] == RESET_LINE
        if slot1 is not None:
            assert test_board.launcher_log() == [MOUNT_LINE, RESET_LINE]
    else:
        assert got_out.startswith(out)
        booted(test_board, outcome)
    if rescue is not KEEP and rescue:
        # The tarball was created before the record was checked and stays empty.
        assert (test_board.path / "tmp/kaviximage.tar.gz").read_bytes() == b""


def test_demo_rescue_image_when_both_slots_are_gone(board):
    board.slot(1, None)
    board.slot(2, None)
    status, out, err = board.run()
    assert "Trying rescue image\n" in err
    assert "Launching diagnostics image\n" in out
    assert "demo diagnostics" in out
    booted(board, 4)
