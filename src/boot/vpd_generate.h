// The dialog of the utilities menu that replaces the serial number and the
// MAC address in the VPD record and stores the record again.
#pragma once

// 0 when all 256 bytes were written, -1 otherwise.
int BootVPDFileGenerate();
