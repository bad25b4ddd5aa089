// Image names: the roles "active" and "backup" and the files "image1" and
// "image2", resolved through the image list.
#include "image/image_names.h"

#include <cstring>

#include "image/dim.h"
#include "image/image_io.h"

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
