"""The big-endian PowerPC launcher under qemu-user boots a board exactly as the host build does."""

import pytest

from conftest import ppc, pristine_vpd
from mppackage import damaged


@pytest.mark.parametrize("damage, out, err, booted", [
    (False, "Booting image '1'\ndemo application 1.0.0.1 running\n", "", 1),
    (True, "Booting image '1'\nBooting image '2'\ndemo application 2.0.0.2 running\n",
     "Image1 CRC failed, trying Image2 now.\n", 2)])
@ppc
def test_powerpc_launcher_boots_like_the_host(new_board, damage, out, err, booted):
    results = []
    for on_ppc in (False, True):
        board = new_board(test=False)
        if damage:
            board.slot(1, damaged(board.slot_file(1)))
        results.append((board.run(ppc=on_ppc), board.vpd(), board.log(launcher=True)))
    assert results[1] == results[0] and results[1][:2] == ((0, out, err), pristine_vpd(booted=booted))
