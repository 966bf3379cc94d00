// Is this process running on the board?
//
// The launcher erases flash, writes EEPROM bytes and reboots. Started by mistake on a
// workstation it would find a real I2C bus there, carrying the memory modules' SPD EEPROMs at
// addresses like the VPD EEPROM's, and a real reboot. So before the first device is opened or
// the first command is run, the linux platform makes sure it is on the board: the board's CPLD
// driver provides the character device "/dev/lamel/cpld_mmmap", which no workstation has.
// Anywhere else, every device open and every command fails as if absent.
#pragma once

namespace platform::board_check {

// True on the board. The first call looks and, when the answer is no, prints one line on
// standard error saying why; later calls give the same answer silently.
bool on_board();

// Forgets the answer, so that the next on_board() looks again (for the platform's own tests).
void forget();

}  // namespace platform::board_check
