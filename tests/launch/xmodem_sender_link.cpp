// The scripted XMODEM sender of the load tests, built into this program too.
#include "../load/xmodem_sender.cpp"
