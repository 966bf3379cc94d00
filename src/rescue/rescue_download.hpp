// The two ways a new image package reaches /tmp/image from the rescue menu: TFTP over the
// management port, XMODEM over the console line. Each hands the file to the installer.
#pragma once

// The installer's result, or 0 when the operator quit, SIGINT was seen or nothing arrived.
int run_tftp_rescue();

// The installer's result, or 0 when nothing arrived.
int run_xmodem_rescue();
