// The board API offered to the operational code.
#pragma once

// The console descriptor that the board API hands out.
int bspapiConsoleFdGet();
void bspapiConsoleFdSet(int fd);
