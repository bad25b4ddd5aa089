// The board API offered to the operational code: board constants, image
// names resolved through the image list, image operations by name, the SDM
// template file, the real-time clock read and the console descriptor.
#pragma once

#include <cstdint>

// Status codes of the dim, bspapi and osapi routines.
constexpr int kBspSuccess = 0;
constexpr int kBspFailure = 1;
constexpr int kBspError = 2;
constexpr int kBspNotSupported = 4;
constexpr int kBspNotFound = 5;
constexpr int kBspAlreadySo = 6;
constexpr int kBspRefused = 8;

// Image names: roles and files. A name of kBspMaxImageNameLen characters or
// more is never an image.
constexpr const char* kActiveImageName = "active";
constexpr const char* kBackupImageName = "backup";
constexpr const char* kImage1FileName = "image1";
constexpr const char* kImage2FileName = "image2";
constexpr int kBspMaxImageNameLen = 39;
constexpr int kBspImageNameBufSize = 40;

constexpr const char* kSdmTemplateFileName = "sdm_template.cfg";
constexpr uint32_t kSdmTemplateFileSize = 12;
constexpr uint32_t kSdmTemplateVersion = 1;

constexpr uint32_t kBspWatchdogInterval = 15000;
constexpr int kBspDefaultBaudRateCode = 4;

// The console descriptor that the board API hands out.
int bspapiConsoleFdGet();
int bspapiConsoleFdSet(int fd);
int bspapiConsoleFdOutGet();

// Board constants and state.
uint32_t bspapiIplModelGet();
int bspapiDefaultBaudRateGet();
const char* bspapiServicePortNameGet();
int bspapiServicePortUnitGet();
int bspapiWatchdogEnable();
int bspapiWatchdogDisable();
int bspapiWatchdogService();
uint32_t bspapiWatchdogInterval();
uint32_t bspapiCpuBoardIdGet();
int bspapiConsoleStatusGet(uint32_t* status);
int bspapiLocatorLedBlinkStart();
int bspapiLocatorLedIndicateNormalStart();
int bspapiSysLedStatusGet(uint32_t* status);
void bspapiStackLedSet();
int bspapiStartTypeGet();
// Records the value the kernel was entered with.
void bspapiStartTypeSet(int startType);
int bspapiSerialPortParmGet(int selector, uint32_t* value);
int bspapiSwitchMacAddrValid(const uint8_t* mac);
int bspapiDebugRegisteredSysInfoDump();

// Broken-down time of bspapiRTCRead: year since 1900, month from 0.
struct BspTime {
    int32_t tm_sec = 0;
    int32_t tm_min = 0;
    int32_t tm_hour = 0;
    int32_t tm_mday = 0;
    int32_t tm_mon = 0;
    int32_t tm_year = 0;
};
int bspapiRTCRead(BspTime* time);

// Image names.
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

// Image operations by role or file name.
int bspapiImageExists(const char* name);
int bspapiImageDescrGet(const char* name, char* buffer);
int bspapiImageDescrSet(const char* name, const char* text);
int bspapiImageDelete(const char* name);
int bspapiImageAdd(const char* sourceFileName, const char* name);
int bspapiImageActivate(const char* name, int updateBootCode);
// Boot code update that goes with an activation (boot flash subsystem).
int bspapiBootCodeUpdate(const char* imageName);

// SDM template identifier for the next start.
int bspapiNextSdmTemplateSave(uint32_t templateId);
int bspapiNextSdmTemplateGet(uint32_t* templateId);
int bspapiNextSdmTemplateClear();

// Whole small files: 0 or 2.
int bspCpuFsRead(const char* fileName, void* buffer, uint32_t length);
int bspCpuFsWrite(const char* fileName, const void* buffer, uint32_t length);
int bspCpuFsDeleteFile(const char* fileName);
