"""Interrupts: Ctrl-C on the console reaches the launcher as SIGINT, which only raises its flag.
At the rescue image's slot question the read ends without an answer and the boot goes on."""

from conftest import app_line, pristine_vpd, reach_question


def test_ctrl_c_at_slot_question_does_not_kill_the_launcher(rescue_board):
    console = reach_question(rescue_board)
    console.interrupt()
    console.prompt("^C")  # the terminal's echo of the interrupt key
    console.line(app_line("7.7.7.7"))
    status, rest = console.finish()
    # Neither the launcher nor mpboard died of the signal (finish() checks mpboard's end).
    assert status == 0
    assert "Installing" not in rest and "Booting recovery image" not in rest
    assert rescue_board.vpd() == pristine_vpd()
    assert rescue_board.launcher_log()[-1] == "exec: /bin/backtrace"
