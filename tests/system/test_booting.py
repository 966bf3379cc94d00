"""Booting: the board powers on and the application in the chosen slot starts."""

import pytest

from conftest import (VPD_BOOTED, VPD_IMAGE, app_line, application,
                      ordinary_boot_log, pristine_vpd, record, BOOT, KERNEL, EXTENDED)


def test_demo_board_boots_slot_1_on_the_console(board):
    console = board.console()
    console.line("Booting image '1'")
    console.line("demo application 1.0.0.1 running")
    status, rest = console.finish()
    assert status == 0
    assert "Booting image '2'" not in rest

    assert board.vpd() == pristine_vpd(booted=1)
    assert board.launcher_log() == ordinary_boot_log(1)
    log = board.log()
    assert "mount: -o sync -t jffs2 /dev/mtd-user /user" in log
    assert log[-1] == "backtrace: /tmp/home/bin/mp.elf.strip"


def test_normal_boot_prints_only_on_standard_output(test_board):
    assert test_board.run() == (0, "Booting image '1'\n" + app_line("1.1.1.1") + "\n"
                                "args=[] LD_PRELOAD=[]\n", "")
    assert test_board.vpd()[VPD_BOOTED] == 1
    # Unpacked, then the tarball deleted, before the application took over.
    assert (test_board.path / "tmp/home/bin/mp.elf.strip").exists()
    assert not (test_board.path / "tmp/kaviximage.tar.gz").exists()


@pytest.mark.parametrize("image, slot", [(2, 2), (0, 1), (3, 1), (255, 1)])
def test_vpd_slot_byte_chooses_the_slot(test_board, image, slot):
    test_board.set_vpd({VPD_IMAGE: image, VPD_BOOTED: 255})
    status, out, err = test_board.run()
    assert (status, err) == (0, "")
    assert out.startswith(f"Booting image '{slot}'\n" + app_line(f"{slot}.{slot}.{slot}.{slot}"))
    vpd = test_board.vpd()
    assert (vpd[VPD_IMAGE], vpd[VPD_BOOTED]) == (image, slot)
    assert test_board.launcher_log() == ordinary_boot_log(slot)


def test_application_behind_boot_loader_and_kernel_records(test_board):
    # A release package as shipped: boot loader and an extended kernel record first; the boot
    # steps over them without checking them.
    package = (record(BOOT, b"\x5a" * 512, "2.0.0.1", bad_crc=True)
               + record(KERNEL | EXTENDED, b"K" * 1000, "5.10.0.3", hdrlen=32)
               + application("3.3.3.3"))
    test_board.slot(1, package)
    status, out, err = test_board.run()
    assert (status, err) == (0, "")
    assert out.startswith("Booting image '1'\n" + app_line("3.3.3.3") + "\n")
    assert test_board.launcher_log() == ordinary_boot_log(1)
