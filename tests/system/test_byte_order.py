"""The board's byte order: the static big-endian PowerPC build of the launcher boots a board under
qemu-user and leaves the same output, VPD bytes and command lines as the host build; on a damaged
slot 1 the CRC computed on the big-endian side must disagree too."""

import pytest

from conftest import pristine_vpd
from mppackage import damaged


@pytest.mark.parametrize("slot1, out, err, booted", [
    (None, "Booting image '1'\ndemo application 1.0.0.1 running\n", "", 1),
    ("damaged", "Booting image '1'\nBooting image '2'\ndemo application 2.0.0.2 running\n",
     "Image1 CRC failed, trying Image2 now.\n", 2),
], ids=["demo", "crc1"])
def test_powerpc_launcher_boots_like_the_host(ppc_ready, new_board, slot1, out, err, booted):
    results = []
    for ppc in (False, True):
        board = new_board(test=False)
        if slot1:
            board.slot(1, damaged(board.slot_file(1)))
        results.append((board.run(ppc=ppc), board.vpd(), board.launcher_log()))
    assert results[1][:2] == ((0, out, err), pristine_vpd(booted=booted))
    assert results[1] == results[0]
