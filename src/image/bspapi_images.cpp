// Image names of the board API, image operations by role or file name, the
// SDM template file and the small-file helpers beneath it.
#include <cstring>

#include "image/bspapi.h"
#include "image/dim.h"
#include "image/image_io.h"
#include "image/stkimage.h"
#include "platform/platform.h"

int bspapiImageNameValid(const char* name) {
    return std::strcmp(name, kActiveImageName) == 0 || std::strcmp(name, kBackupImageName) == 0 ? 1
                                                                                                : 0;
}

int bspapiImageFileNameValid(const char* name, int* index) {
    if (std::strcmp(name, kImage1FileName) == 0) {
        *index = 0;
        return 1;
    }
    if (std::strcmp(name, kImage2FileName) == 0) {
        *index = 1;
        return 1;
    }
    return 0;
}

int bspapiActiveImageNameGet(char* buffer) {
    std::strcpy(buffer, kActiveImageName);
    return 0;
}

int bspapiBackupImageNameGet(char* buffer) {
    std::strcpy(buffer, kBackupImageName);
    return 0;
}

int bspapiImageFileNameGet(int index, char* buffer) {
    if (index == 0) {
        std::strcpy(buffer, kImage1FileName);
        return 0;
    }
    if (index == 1) {
        std::strcpy(buffer, kImage2FileName);
        return 0;
    }
    return 1;
}

int bspapiImageFileNameResolve(const char* name, char* buffer) {
    imageio::copyField(buffer, name, kBspMaxImageNameLen);
    if (std::strcmp(name, kBackupImageName) == 0) {
        char active[kBspImageNameBufSize] = {};
        bool found = dimActiveImageFileNameGet(active) == 0;
        const char* other = found && std::strcmp(active, kImage2FileName) == 0 ? kImage1FileName
                            : found                                            ? kImage2FileName
                                                                               : kImage1FileName;
        imageio::copyField(buffer, other, kBspMaxImageNameLen);
    } else if (std::strcmp(name, kActiveImageName) == 0) {
        if (dimActiveImageFileNameGet(buffer) != 0)
            imageio::copyField(buffer, kImage1FileName, kBspMaxImageNameLen);
    }
    int index = 0;
    return bspapiImageFileNameValid(buffer, &index);
}

int bspapiActiveImageFileNameGet(char* buffer) {
    return dimActiveImageFileNameGet(buffer);
}
int bspapiBackupImageFileNameGet(char* buffer) {
    return dimBackupImageFileNameGet(buffer);
}
int bspapiIsBackupImageActivated() {
    return dimIsBackupImageActivated();
}

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
