"""The big-endian PowerPC launcher under qemu-user boots a board exactly as the host build does."""

import pytest

from conftest import ppc, pristine_vpd
from mppackage import app_line, damaged

CRC_1 = "Image1 CRC failed, trying Image2 now.\n"
B1, B2 = "Booting image '1'\n", "Booting image '2'\n"


@pytest.mark.parametrize("damage, out, err, booted",
                         [(False, B1 + app_line("1.1.1.1"), "", 1),
                          (True, B1 + B2 + app_line("2.2.2.2"), CRC_1, 2)])
@ppc
def test_powerpc_launcher_boots_like_the_host(new_board, damage, out, err, booted):
    results = []
    for on_ppc in (False, True):
        board = new_board()
        if damage:
            board.slot(1, damaged(board.slot_file(1)))
        results.append((board.run(ppc=on_ppc), board.vpd(), board.log(launcher=True)))
    assert results[1] == results[0] and results[1][:2] == ((0, out + "\nargs=[] LD_PRELOAD=[]\n",
                                                            err), pristine_vpd(booted=booted))
