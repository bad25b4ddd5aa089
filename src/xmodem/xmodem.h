// The transfer command: XMODEM, XMODEM/CRC, XMODEM-1K, YMODEM batch, YMODEM-G
// and MODEM7 batch over the console.
#pragma once

// Runs one transfer described by a command-line-like text ("-cbrke name" to
// receive, "cbske name" to send). 0 on success, -1 on any failure.
int xmodem(const char* args);
