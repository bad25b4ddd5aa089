// The board API offered to the operational code: board constants, image
// names resolved through the image list, image operations by name, the SDM
// template file, the real-time clock read and the console descriptor.
#pragma once

#include <cstdint>

#include "image/image_names.h"
#include "osapi/status_codes.h"

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

// Image operations by role or file name.
int bspapiImageExists(const char* name);
int bspapiImageDescrGet(const char* name, char* buffer);
int bspapiImageDescrSet(const char* name, const char* text);
int bspapiImageDelete(const char* name);
int bspapiImageAdd(const char* sourceFileName, const char* name);
int bspapiImageActivate(const char* name, int updateBootCode);

// SDM template identifier for the next start.
int bspapiNextSdmTemplateSave(uint32_t templateId);
int bspapiNextSdmTemplateGet(uint32_t* templateId);
int bspapiNextSdmTemplateClear();

// Whole small files: 0 or 2.
int bspCpuFsRead(const char* fileName, void* buffer, uint32_t length);
int bspCpuFsWrite(const char* fileName, const void* buffer, uint32_t length);
int bspCpuFsDeleteFile(const char* fileName);
