// Image operations of the board API by role or file name, the SDM template
// file and the small-file helpers beneath it.
#include <cstring>

#include "bootflash/bootflash.h"
#include "bspapi/bspapi.h"
#include "image/dim.h"
#include "image/image_io.h"
#include "image/stkimage.h"
#include "platform/platform.h"

int bspapiImageExists(const char* name) {
    if (std::strlen(name) >= static_cast<size_t>(kBspMaxImageNameLen)) return 0;
    char file[kBspImageNameBufSize] = {};
    if (!bspapiImageFileNameResolve(name, file)) return 0;
    return dimImageExists(file);
}

int bspapiImageDescrGet(const char* name, char* buffer) {
    char file[kBspImageNameBufSize] = {};
    if (!bspapiImageFileNameResolve(name, file)) return 1;
    return dimImageDescrGet(file, buffer);
}

int bspapiImageDescrSet(const char* name, const char* text) {
    char file[kBspImageNameBufSize] = {};
    if (!bspapiImageFileNameResolve(name, file)) return 1;
    return dimImageDescrSet(file, text);
}

int bspapiImageDelete(const char* name) {
    char file[kBspImageNameBufSize] = {};
    if (!bspapiImageFileNameResolve(name, file)) return 1;
    return dimImageDelete(file);
}

int bspapiImageAdd(const char* sourceFileName, const char* name) {
    char file[kBspImageNameBufSize] = {};
    if (!bspapiImageFileNameResolve(name, file)) return 1;
    return dimImageAdd(sourceFileName, file);
}

int bspapiImageActivate(const char* name, int updateBootCode) {
    char file[kBspImageNameBufSize] = {};
    if (!bspapiImageFileNameResolve(name, file)) return 1;
    OprHeader header;
    int rc = bspapiOprHeaderRead(file, &header);
    if (rc != 0) return rc;
    rc = dimImageActivate(file);
    // The boot code is programmed only from an image of the list, and a
    // failed activation is reported, never covered by the update's result.
    // An image that is already pending active is in the list.
    bool listed = rc == 0 || rc == kBspAlreadySo;
    if (updateBootCode == 1 && listed) return bspapiBootCodeUpdate(file);
    return rc;
}

int bspapiNextSdmTemplateSave(uint32_t templateId) {
    uint8_t bytes[kSdmTemplateFileSize] = {};
    stk::putBe32(bytes, kSdmTemplateVersion);
    stk::putBe32(bytes + 4, templateId);
    stk::putBe16(bytes + 8, 0);
    stk::putBe16(bytes + 10, bspapiCalcCrc(bytes, 10));
    return bspCpuFsWrite(kSdmTemplateFileName, bytes, sizeof bytes);
}

int bspapiNextSdmTemplateGet(uint32_t* templateId) {
    uint8_t bytes[kSdmTemplateFileSize] = {};
    if (bspCpuFsRead(kSdmTemplateFileName, bytes, sizeof bytes) != 0) return kBspNotFound;
    if (bspapiCalcCrc(bytes, 10) != stk::getBe16(bytes + 10) ||
        stk::getBe32(bytes) != kSdmTemplateVersion)
        return kBspError;
    *templateId = stk::getBe32(bytes + 4);
    return 0;
}

int bspapiNextSdmTemplateClear() {
    return bspCpuFsDeleteFile(kSdmTemplateFileName);
}

int bspCpuFsRead(const char* fileName, void* buffer, uint32_t length) {
    int fd = plat::open(fileName, plat::kOpenReadWrite);
    if (fd < 0) return kBspError;
    long got = imageio::readFully(fd, buffer, length);
    plat::close(fd);
    return got == static_cast<long>(length) ? 0 : kBspError;
}

int bspCpuFsWrite(const char* fileName, const void* buffer, uint32_t length) {
    int fd = plat::open(fileName, plat::kOpenReadWrite | plat::kOpenCreate);
    if (fd < 0) return kBspError;
    long put = imageio::writeFully(fd, buffer, length);
    int closed = plat::close(fd);
    return put == static_cast<long>(length) && closed == 0 ? 0 : kBspError;
}

int bspCpuFsDeleteFile(const char* fileName) {
    return plat::remove(fileName) == 0 ? 0 : kBspError;
}
