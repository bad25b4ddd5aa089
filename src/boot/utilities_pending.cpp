// Stands in for the utilities menu until it is built: option 30 returns to
// the Boot Menu at once. Deleted with the real menu.
#include "boot/boot.h"

void BootCodeSecrets() {}
