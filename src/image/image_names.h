// Image names: the roles "active" and "backup", the files "image1" and
// "image2", and their resolution through the image list.
#pragma once

#include <cstdint>

// Image names: roles and files. A name of kBspMaxImageNameLen characters or
// more is never an image.
constexpr const char* kActiveImageName = "active";
constexpr const char* kBackupImageName = "backup";
constexpr const char* kImage1FileName = "image1";
constexpr const char* kImage2FileName = "image2";
constexpr int kBspMaxImageNameLen = 39;
constexpr int kBspImageNameBufSize = 40;

int bspapiImageNameValid(const char* name);
int bspapiImageFileNameValid(const char* name, int* index);
int bspapiActiveImageNameGet(char* buffer);
int bspapiBackupImageNameGet(char* buffer);
int bspapiImageFileNameGet(int index, char* buffer);
// Resolves a role or file name to "image1"/"image2" in a buffer of at least
// 40 bytes; 1 when it resolves, else 0.
int bspapiImageFileNameResolve(const char* name, char* buffer);
int bspapiActiveImageFileNameGet(char* buffer);
int bspapiBackupImageFileNameGet(char* buffer);
int bspapiIsBackupImageActivated();
