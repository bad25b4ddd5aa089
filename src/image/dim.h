// The image list: which of "image1" and "image2" is active and which is the
// backup, kept in boot.dim.
#pragma once

int dimInitialize();
int dimActiveImageFileNameGet(char* fileName);
int dimBackupImageFileNameGet(char* fileName);
int dimImageActivate(const char* fileName);
int dimShowBootCfg();
