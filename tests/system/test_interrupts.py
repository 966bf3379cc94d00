"""Interrupts: Ctrl-C on the console reaches the launcher as SIGINT, which only raises its flag.
At the rescue image's slot question the read ends without an answer and the boot goes on."""

from conftest import RESCUE_QUESTION, app_line, application, pristine_vpd


def test_ctrl_c_at_slot_question_does_not_kill_the_launcher(test_board):
    test_board.slot(1, None)
    test_board.slot(2, None)
    test_board.flash("rescue", application("7.7.7.7"))
    console = test_board.console()
    console.prompt(RESCUE_QUESTION)
    console.interrupt()
    console.prompt("^C")  # the terminal's echo of the interrupt key
    console.line(app_line("7.7.7.7"))
    status, rest = console.finish()
    # Neither the launcher nor mpboard died of the signal (finish() checks mpboard's end).
    assert status == 0
    assert "Installing" not in rest and "Booting recovery image" not in rest
    assert test_board.vpd() == pristine_vpd()
    assert test_board.launcher_log()[-1] == "exec: /bin/backtrace"
