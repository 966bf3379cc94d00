"""The rescue menu: letters, the versions, standalone diagnostics, a console that has gone away."""

import pytest

from mppackage import DFT, KERNEL, RFS, app_line, boot_loader, record

MENU = [
    "Please select one of the following options:",
    "\tT) Configure networking and tftp download an image",
    "\tX) Use xmodem 1K to serial download an image", "\tR) Reboot", "\tE) Exit"
]
QUESTION = "\r\nOption? : "


def choose(console, key):  # the question, the key, and its echo
    console.expect_exact(QUESTION)
    console.keys(key)
    console.line(key)


# Wrong keys only repeat the question; H shows the versions and the menu again; three ways out.
@pytest.mark.parametrize(
    "last, lines", [("u", ["Unknown option 85. Quitting", "Booting image '1'",
                           app_line("1.1.1.1")]),
                    ("E", ["Booting image '1'", app_line("1.1.1.1")]), ("r", [])])
def test_menu_letters(new_board, last, lines):
    board = new_board(rescue=True)
    board.flash("uboot", boot_loader(b"\x5a" * 512, "9.8.7.6"))
    for part, magic, version in [("rfs", RFS, "1.2.3.4"), ("kernel", KERNEL, "5.6.7.8"),
                                 ("devicetree", DFT, 511)]:
        board.flash(part, record(magic, b"r" * 64, version))
    board.slot(2, None)
    console = board.console()
    console.line("Entering Rescue Mode.", *MENU)
    # On record from the menu's first question on: a board cut there has said it entered it.
    boot = board.status()["boot_history"]["entries"][-1]
    assert (boot["rescue_menu"], boot["booted"]) == (True, "none")
    choose(console, "q")
    console.line('unknown option "Q". Please try again')
    console.expect_exact(QUESTION)
    console.keys("\r")  # the terminal turns Enter into a line feed
    console.line("\r\n", 'unknown option "\r\n". Please try again')
    console.expect_exact(QUESTION)
    console.interrupt()  # an empty key (echoed as NUL), then the question again, no menu
    console.expect_exact("\0\r\n" + QUESTION)
    console.keys("h")
    console.line("h", "Installed images versions: ", "\tBoot image  : 9.8.7.6",
                 "\tRFS image   : 1.2.3.4", "\tKernel image: 5.6.7.8", "\tDFT image   : 0.0.1.255",
                 "\tOS image 1  : 1.1.1.1", "\tOS image 2  : 0.0.0.0", *MENU)
    choose(console, last)
    console.line(*lines)
    assert console.finish()[0] == 0
    text = (board.path / "console.txt").read_text()
    assert text.count("Entering Rescue Mode.") == 1 and text.count(
        MENU[0]) == 2 and text.count("Option") == 5
    assert (board.log(launcher=True)[-1] == "system: reboot") == (last == "r")
    assert board.last_boot() == ("slot1:booted -> slot1" if lines else " -> none")


@pytest.mark.parametrize("wiped", [True, False])
def test_standalone_diagnostics(new_board, wiped):
    board = new_board(rescue=True)
    console = board.console()
    choose(console, "d")
    console.expect_exact(
        "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ")
    console.keys("yn"[not wiped])
    console.line("")  # the key itself is not echoed
    if wiped:
        console.line("unmount filesystem", "", "Erasing filesystem for clean install",
                     "Mounting...", "creating default filesystem")
    console.line("Booting diags image...", app_line("4.4.4.4", "diagnostics"))
    assert console.finish()[0] == 0
    wipe = [
        "system: /bin/umount /user &> /dev/null", "system: flash_eraseall /dev/mtd-user-char",
        "system: /bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
        "system: mkdir /user/images &> /dev/null"
    ]
    assert ([line for line in board.log(launcher=True)
             if line.startswith("system: ")][1:5] == wipe) == wiped
    assert (board.slot_file(1) is None) == wiped and (board.path / "user/images").is_dir()


# Input ended (a closed pipe): the questions end as if the operator quit, and the board boots;
# without a terminal X has no serial line.
@pytest.mark.parametrize(
    "keys, shown", [(b"", ""), (b"t10.77.0.2\n\n\n10.77.0.1\n", "Image Filename: "),
                    (b"x", "Running xmodem rescue.....\nSerial download not possible. Aborting\n")])
def test_console_gone_boots_the_slot(new_board, keys, shown):
    board = new_board(rescue=True)
    status, out, err = board.run(stdin=keys)
    assert status == 0 and out.count(QUESTION.strip("\r")) == 1 + bool(keys), out
    assert out.split("Booting image '1'\n")[-1].startswith(app_line("1.1.1.1")), out
    assert shown in out and "Invalid filename" not in out
    assert ("Can't open serial port!" in err) == (keys == b"x")
    assert "system: /usr/bin/rx /tmp/image" not in board.log(launcher=True)
