// The image list: which of "image1" and "image2" is active and which is the
// backup, kept in boot.dim.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kDimMaxImages = 2;
constexpr size_t kDimStateWidth = 14;
constexpr size_t kDimFileNameWidth = 39;
constexpr size_t kDimTagWidth = 4;
constexpr size_t kDimDescriptionWidth = 255;
constexpr size_t kDimFileMax = 1024;  // bytes of boot.dim that are read
constexpr size_t kDimLineMax = 256;   // a line must end before this many bytes

constexpr const char* kDimFileName = "boot.dim";
// The new list is written here first and then renamed over boot.dim.
constexpr const char* kDimTempFileName = "boot.dim.new";
constexpr const char* kDimMarker = "---IMAGE---";
constexpr const char* kDimStateActive = "active";
constexpr const char* kDimStateBackup = "backup";

// Result word of dimIsAnImage when the name is a listed image.
constexpr int kDimIsAnImage = 13;
constexpr int kDimIsNotAnImage = 2;

// File name of the active operational-code image: the launcher starts this
// file and the menu's delete option removes it. The image list owns it and
// sets it after every change of the list (start-up, loads, activations), so
// it always names the list's active image, or is empty when there is none.
// It holds any name the list can hold, so it never names a cut-off file.
extern char activeImageFileName[kDimFileNameWidth + 1];
// Sets activeImageFileName from the list in memory.
void dimActiveImageFileNameSync();

struct DimImageEntry {
    char currState[kDimStateWidth + 1];
    char nextState[kDimStateWidth + 1];
    char fileName[kDimFileNameWidth + 1];
    char tag[kDimTagWidth + 1];
    char description[kDimDescriptionWidth + 1];
};

// The in-memory list (read only; changed through the routines below).
const DimImageEntry* dimImageTable();
int32_t dimImageCount();

int dimInitialize();
int dimDefaultListCreate();
int dimBootCfgWrite();
// One line of boot.dim from `data` (available bytes, `atEnd` when nothing
// follows them): copies it without its line feed into `line` (kDimLineMax
// bytes) and returns the bytes consumed, or -1 when no line can be taken.
int dimLineGet(const char* data, size_t available, bool atEnd, char* line);

int dimImageExists(const char* fileName);
int dimActiveImageFileNameGet(char* fileName);
int dimBackupImageFileNameGet(char* fileName);
int dimIsBackupImageActivated();
int dimIsAnImage(const char* fileName, int* result);
int dimImageDescrGet(const char* fileName, char* description);
int dimImageDescrSet(const char* fileName, const char* description);
// Changes of the list return 2 (kBspError) when boot.dim cannot be written;
// the list in memory is then left as it was, matching the file.
int dimImageActivate(const char* fileName);
int dimImageDelete(const char* fileName);
// The source is copied to a temporary file beside the destination, forced to
// the disk and renamed over it: a copy that fails leaves the old destination
// as it was and gives 1, as a destination missing afterwards does.
int dimImageAdd(const char* sourceFileName, const char* destFileName);
int dimShowBootCfg();
