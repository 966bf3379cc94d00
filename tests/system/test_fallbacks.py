"""Fallbacks: a damaged or missing slot hands over to the other slot, then to the rescue image in
flash, and a board with nothing bootable reboots. Runs without a terminal so that the failure
lines can be shown to be on standard error and the progress lines on standard output."""

from conftest import (DIAGS_LINES, KERNEL, MOUNT_LINE, RESET_LINE, UNPACK_LINE, VPD_BOOTED,
                      app_line, application, damaged, diag_line, ordinary_boot_log,
                      pristine_vpd, record)


def booted(board, slot):
    vpd = pristine_vpd()
    vpd[VPD_BOOTED] = slot
    assert board.vpd() == vpd
    if slot == 4:
        # The rescue partition's diagnostics: moved into the application's place first.
        assert board.launcher_log() == [MOUNT_LINE, "vpd-write: offset 59 value 0x04",
                                        UNPACK_LINE, *DIAGS_LINES, "exec: /bin/backtrace"]
    else:
        assert board.launcher_log() == ordinary_boot_log(slot)


def ended_in_reset(board):
    log = board.log()
    assert log[-1].startswith("reboot"), log
    assert board.launcher_log()[-1] == RESET_LINE


def test_bad_crc_in_slot_1_boots_slot_2(test_board):
    test_board.slot(1, damaged(application("1.1.1.1")))
    status, out, err = test_board.run()
    assert err == "Image1 CRC failed, trying Image2 now.\n"
    assert out.startswith("Booting image '1'\nBooting image '2'\n" + app_line("2.2.2.2") + "\n")
    assert status == 0
    booted(test_board, 2)


def test_missing_slot_1_boots_slot_2_file_as_slot_1(test_board):
    # The attempt still belongs to slot 1: the booted-slot byte says 1.
    test_board.slot(1, None)
    status, out, err = test_board.run()
    assert err == "Failed to open Application image 1. Trying image 2.\n"
    assert out.startswith("Booting image '1'\n" + app_line("2.2.2.2") + "\n")
    assert status == 0
    booted(test_board, 1)


def test_slot_without_bootable_record_falls_back(test_board):
    test_board.slot(1, record(KERNEL, b"only a kernel", "5.0.0.1"))
    status, out, err = test_board.run()
    assert err == ("Image has invalid header 0x3504f4c. (0x6504f4c)\n"
                   "Image1 has invalid header... trying Image2.\n")
    assert out.startswith("Booting image '1'\nBooting image '2'\n" + app_line("2.2.2.2") + "\n")
    assert status == 0
    booted(test_board, 2)


def test_both_slots_bad_crc_reboots_without_touching_rescue(test_board):
    for slot in (1, 2):
        test_board.slot(slot, damaged(application(f"{slot}.0.0.0"), at=20))
    status, out, err = test_board.run()
    assert err == "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n"
    assert out == "Booting image '1'\nBooting image '2'\n"
    assert status == 0
    assert test_board.vpd() == pristine_vpd()
    assert test_board.launcher_log() == [MOUNT_LINE, RESET_LINE]
    ended_in_reset(test_board)


def test_no_bootable_record_then_bad_crc_reboots(test_board):
    test_board.slot(1, b"short")
    test_board.slot(2, damaged(application("2.2.2.2")))
    status, out, err = test_board.run()
    # Not even one header could be read from slot 1: nothing to name but 0.
    assert err == ("Image has invalid header 0x0. (0x6504f4c)\n"
                   "Image1 has invalid header... trying Image2.\n"
                   "Both image1 and image2 failed.\n")
    assert out == "Booting image '1'\nBooting image '2'\n"
    assert status == 0
    ended_in_reset(test_board)


def test_no_slot_files_boot_diagnostics_from_flash(test_board):
    test_board.slot(1, None)
    test_board.slot(2, None)
    status, out, err = test_board.run()
    assert err == ("Failed to open Application image 1. Trying image 2.\n"
                   "Failed to open Application image 2. Trying rescue image\n")
    assert out.startswith("Booting image '1'\nLaunching diagnostics image\ninstall diags image\n"
                          + diag_line("4.4.4.4") + "\n")
    assert status == 0
    booted(test_board, 4)


def test_second_slot_without_bootable_record_boots_rescue(test_board):
    test_board.slot(1, damaged(application("1.1.1.1")))
    test_board.slot(2, record(KERNEL, b"k" * 64))
    status, out, err = test_board.run()
    assert err == ("Image1 CRC failed, trying Image2 now.\n"
                   "No valid application image found. Trying rescue image\n")
    assert out.startswith("Booting image '1'\nBooting image '2'\nLaunching diagnostics image\n"
                          "install diags image\n" + diag_line("4.4.4.4") + "\n")
    booted(test_board, 4)


def test_demo_rescue_image_when_both_slots_are_gone(board):
    board.slot(1, None)
    board.slot(2, None)
    status, out, err = board.run()
    assert "Trying rescue image\n" in err
    assert "Launching diagnostics image\n" in out
    assert "demo diagnostics" in out
    booted(board, 4)


def test_erased_rescue_partition_ends_in_reboot(test_board):
    test_board.slot(1, None)
    test_board.slot(2, None)
    test_board.flash("rescue", b"")
    status, out, err = test_board.run()
    assert err == ("Failed to open Application image 1. Trying image 2.\n"
                   "Failed to open Application image 2. Trying rescue image\n"
                   "Image not found... \n")
    assert out == "Booting image '1'\n"
    assert status == 0
    assert test_board.vpd() == pristine_vpd()
    ended_in_reset(test_board)


def test_damaged_rescue_record_ends_in_reboot(test_board):
    test_board.slot(1, None)
    test_board.slot(2, None)
    test_board.flash("rescue", record(0x06504F4C, b"diagnostics", bad_crc=True))
    status, out, err = test_board.run()
    assert err.endswith("Failed to open Application image 2. Trying rescue image\n"
                        "Image CRC failed. Quitting\n")
    assert status == 0
    ended_in_reset(test_board)
    # The tarball was created before the record was checked and stays empty.
    assert (test_board.path / "tmp/kaviximage.tar.gz").read_bytes() == b""
