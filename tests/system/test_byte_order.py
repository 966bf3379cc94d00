"""The board's byte order: the static big-endian PowerPC build of the launcher boots the demo
board under qemu-user and leaves the same VPD bytes and command lines as the host build."""

from conftest import VPD_BOOTED, pristine_vpd


def test_powerpc_launcher_boots_demo_board_like_the_host(ppc_ready, new_board):
    host, ppc = new_board(), new_board()
    results = {}
    for name, board, on_ppc in (("host", host, False), ("ppc", ppc, True)):
        status, out, err = board.run(ppc=on_ppc, timeout=120)
        results[name] = (status, out, err, board.vpd(), board.launcher_log())
    status, out, err, vpd, log = results["ppc"]
    assert (status, err) == (0, "")
    assert out == "Booting image '1'\ndemo application 1.0.0.1 running\n"
    assert vpd == pristine_vpd(booted=1)
    assert results["ppc"] == results["host"]


def test_powerpc_launcher_falls_back_to_slot_2(ppc_ready, board):
    # Slot 1's record damaged: the CRC computed on the big-endian side must disagree.
    data = bytearray((board.path / "user/images/image1").read_bytes())
    data[-1] ^= 0xFF
    board.slot(1, bytes(data))
    status, out, err = board.run(ppc=True, timeout=120)
    assert err == "Image1 CRC failed, trying Image2 now.\n"
    assert out == ("Booting image '1'\nBooting image '2'\n"
                   "demo application 2.0.0.2 running\n")
    assert board.vpd()[VPD_BOOTED] == 2
