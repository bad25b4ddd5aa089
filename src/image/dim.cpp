// The image list in memory and in boot.dim.
#include "image/dim.h"

#include <cstdio>
#include <cstring>

#include "image/image_io.h"
#include "image/image_names.h"
#include "image/stkimage.h"
#include "osapi/osapi.h"
#include "osapi/status_codes.h"
#include "platform/platform.h"

char activeImageFileName[kDimFileNameWidth + 1];

namespace {

DimImageEntry images[kDimMaxImages];
int32_t imageCount = 0;

STK_RESET_HOOK {
    std::memset(images, 0, sizeof images);
    imageCount = 0;
    std::memset(activeImageFileName, 0, sizeof activeImageFileName);
}

void clearList() {
    std::memset(images, 0, sizeof images);
    imageCount = 0;
}

bool slotUsed(const DimImageEntry& e) {
    return e.fileName[0] != '\0';
}

DimImageEntry* findByName(const char* fileName) {
    for (auto& e : images)
        if (slotUsed(e) && std::strcmp(e.fileName, fileName) == 0) return &e;
    return nullptr;
}

DimImageEntry* findByCurrState(const char* state) {
    for (auto& e : images)
        if (slotUsed(e) && std::strcmp(e.currState, state) == 0) return &e;
    return nullptr;
}

void setField(char* dst, const char* src, size_t width) {
    imageio::copyField(dst, src, width);
}

// Stores one line of a slot by its position after the marker.
void storeLine(DimImageEntry& e, int position, const char* line) {
    switch (position) {
        case 0:
            setField(e.currState, line, kDimStateWidth);
            break;
        case 1:
            setField(e.nextState, line, kDimStateWidth);
            break;
        case 2:
            setField(e.fileName, line, kDimFileNameWidth);
            break;
        case 3:
            setField(e.tag, line, kDimTagWidth);
            break;
        case 4:
            setField(e.description, line, kDimDescriptionWidth);
            break;
        default:
            break;  // extra lines until the next marker
    }
}

// Fills the list from the text of boot.dim.
void parseList(const char* data, size_t length, bool atEnd) {
    char line[kDimLineMax];
    int slot = -1;
    int position = 0;
    size_t at = 0;
    while (at < length) {
        int used = dimLineGet(data + at, length - at, atEnd, line);
        if (used < 0) break;
        at += static_cast<size_t>(used);
        if (std::strcmp(line, kDimMarker) == 0) {
            if (slot + 1 >= kDimMaxImages) break;
            ++slot;
            position = 0;
            continue;
        }
        // Lines before the first marker belong to no slot.
        if (slot >= 0) storeLine(images[slot], position++, line);
    }
    // Blocks without a file name hold no image: keep the used slots first so
    // that the count always names them. Nor does a block naming an image
    // already listed: the start-up must never delete the active image's file
    // as a failed backup image of the same name.
    int used = 0;
    for (int i = 0; i <= slot; ++i) {
        if (!slotUsed(images[i]) ||
            (used > 0 && std::strcmp(images[0].fileName, images[i].fileName) == 0))
            continue;
        if (used != i) images[used] = images[i];
        ++used;
    }
    for (int i = used; i < kDimMaxImages; ++i) std::memset(&images[i], 0, sizeof images[i]);
    imageCount = used;
}

// Builds the file text of the list; returns its length.
size_t formatList(char* text, size_t capacity) {
    size_t length = 0;
    int written = 0;
    for (const auto& e : images) {
        if (written >= imageCount) break;
        if (!slotUsed(e)) continue;
        int n =
            std::snprintf(text + length, capacity - length, "%s\n%s\n%s\n%s\n%s\n%s\n", kDimMarker,
                          e.currState, e.nextState, e.fileName, e.tag, e.description);
        if (n < 0 || static_cast<size_t>(n) >= capacity - length) break;
        length += static_cast<size_t>(n);
        ++written;
    }
    return length;
}

// Suffix of the temporary copy that dimImageAdd renames over its destination.
constexpr const char* kImageTempSuffix = ".new";

// The list as it was before a change, to put back when the change cannot be
// written.
struct ListSnapshot {
    DimImageEntry slots[kDimMaxImages];
    int32_t count;
};
ListSnapshot snapshot() {
    ListSnapshot s;
    std::memcpy(s.slots, images, sizeof images);
    s.count = imageCount;
    return s;
}

// Writes a change made in memory to boot.dim. When that fails, the change is
// undone in memory too, so that the list and the file agree.
int commitChange(const ListSnapshot& before) {
    if (dimBootCfgWrite() < 0) {
        std::memcpy(images, before.slots, sizeof images);
        imageCount = before.count;
        return kBspError;
    }
    dimActiveImageFileNameSync();
    return 0;
}

// Forces a file's data onto the disk.
bool syncFile(const char* name) {
    int fd = plat::open(name, plat::kOpenReadWrite);
    if (fd < 0) return false;
    bool ok = plat::fsync(fd) == 0;
    return plat::close(fd) == 0 && ok;
}

// Puts a copy of the source in place of the destination by one rename, so
// the destination always holds either its old bytes or the whole copy.
int copyOver(const char* sourceFileName, const char* destFileName) {
    char temp[kDimFileNameWidth + 8];
    std::snprintf(temp, sizeof temp, "%s%s", destFileName, kImageTempSuffix);
    plat::remove(temp);
    if (osapiFsCopyFile(sourceFileName, temp) != kOsapiSuccess || !syncFile(temp) ||
        plat::rename(temp, destFileName) != 0) {
        plat::remove(temp);
        return kBspFailure;
    }
    return 0;
}

void loadList();
bool addSlot(const char* fileName);

void validateBackup() {
    char backup[kDimFileNameWidth + 1] = {};
    if (dimBackupImageFileNameGet(backup) != 0 || !dimImageExists(backup)) return;
    // A damaged list may name any file as the backup; only an image file is
    // deleted when it fails, never the list itself, the event log or a
    // configuration file.
    int index = 0;
    if (!bspapiImageFileNameValid(backup, &index)) return;
    int rc = bspapiValidateImage(backup, 1);
    if (rc != 0) {
        plat::printf("\nValidating the backup image %s failed, ret code = %d\n", backup, rc);
        dimImageDelete(backup);
    }
}

}  // namespace

const DimImageEntry* dimImageTable() {
    return images;
}
int32_t dimImageCount() {
    return imageCount;
}

int dimLineGet(const char* data, size_t available, bool atEnd, char* line) {
    size_t limit = available < kDimLineMax ? available : kDimLineMax;
    for (size_t i = 0; i < limit; ++i) {
        if (data[i] == '\n') {
            std::memcpy(line, data, i);
            line[i] = '\0';
            return static_cast<int>(i + 1);
        }
    }
    // A last line without its line feed still counts when the data ends there.
    if (atEnd && available < kDimLineMax && available > 0) {
        std::memcpy(line, data, available);
        line[available] = '\0';
        return static_cast<int>(available);
    }
    return -1;
}

void dimActiveImageFileNameSync() {
    char name[kDimFileNameWidth + 1] = {};
    if (dimActiveImageFileNameGet(name) != 0) name[0] = '\0';
    imageio::copyField(activeImageFileName, name, kDimFileNameWidth);
}

int dimInitialize() {
    loadList();
    dimActiveImageFileNameSync();
    return 0;
}

namespace {
void loadList() {
    clearList();
    // A rewrite or an image copy cut short leaves its temporary file; the
    // list and the images are whole, so the leftovers are only dropped.
    plat::Stat st;
    if (plat::stat(kDimTempFileName, &st) == 0) plat::remove(kDimTempFileName);
    for (const char* image : {kImage1FileName, kImage2FileName}) {
        char temp[kDimFileNameWidth + 8];
        std::snprintf(temp, sizeof temp, "%s%s", image, kImageTempSuffix);
        if (plat::stat(temp, &st) == 0) plat::remove(temp);
    }

    int fd = plat::open(kDimFileName, plat::kOpenRead);
    if (fd < 0) {
        dimDefaultListCreate();
        return;
    }
    // One byte more than is used tells whether the data goes on.
    char data[kDimFileMax + 1] = {};
    long got = imageio::readFully(fd, data, sizeof data);
    plat::close(fd);
    if (got <= 0) {
        dimDefaultListCreate();
        return;
    }
    bool atEnd = static_cast<size_t>(got) <= kDimFileMax;
    size_t length = atEnd ? static_cast<size_t>(got) : kDimFileMax;
    parseList(data, length, atEnd);
    // Text that names no image (no marker, or blocks without a file name) is
    // no list: it is rebuilt from the image files as for an empty file, rather
    // than written back empty for only the next start to rebuild.
    if (imageCount == 0) {
        dimDefaultListCreate();
        return;
    }
    // Pending activations take effect now.
    for (int i = 0; i < imageCount; ++i)
        setField(images[i].currState, images[i].nextState, kDimStateWidth);
    dimBootCfgWrite();
    validateBackup();
}
}  // namespace

int dimDefaultListCreate() {
    clearList();
    plat::remove(kDimFileName);
    for (const char* name : {kImage1FileName, kImage2FileName}) {
        int fd = -1;
        if (osapiFsOpen(name, &fd) == kOsapiSuccess) {
            plat::close(fd);
            addSlot(name);
        }
    }
    // The list stays in memory even when it cannot be written: a start
    // without boot.dim rebuilds this same list from the image files.
    if (imageCount > 0) dimBootCfgWrite();
    dimActiveImageFileNameSync();
    return 0;
}

int dimBootCfgWrite() {
    char text[kDimFileMax] = {};
    size_t length = formatList(text, sizeof text);
    // The new list is complete on the disk before it replaces the old one,
    // so a power loss leaves one or the other, never a cut list.
    int fd = plat::open(kDimTempFileName, plat::kOpenWrite | plat::kOpenCreate | plat::kOpenTrunc);
    if (fd < 0) return -1;
    long put = imageio::writeFully(fd, text, length);
    bool ok = put == static_cast<long>(length) && plat::fsync(fd) == 0;
    ok = plat::close(fd) == 0 && ok;
    if (ok && plat::rename(kDimTempFileName, kDimFileName) != 0) {
        // A file system that does not replace on rename: fall back to
        // removing the old list first (a start without it rebuilds it).
        plat::remove(kDimFileName);
        ok = plat::rename(kDimTempFileName, kDimFileName) == 0;
    }
    if (!ok) {
        plat::remove(kDimTempFileName);
        return -1;
    }
    return static_cast<int>(put);
}

int dimImageExists(const char* fileName) {
    int fd = plat::open(fileName, plat::kOpenRead);
    if (fd < 0) return 0;
    plat::close(fd);
    return 1;
}

int dimActiveImageFileNameGet(char* fileName) {
    const DimImageEntry* e = imageCount > 0 ? findByCurrState(kDimStateActive) : nullptr;
    if (e == nullptr) return 1;
    setField(fileName, e->fileName, kDimFileNameWidth);
    return 0;
}

int dimBackupImageFileNameGet(char* fileName) {
    const DimImageEntry* e = imageCount > 0 ? findByCurrState(kDimStateBackup) : nullptr;
    if (e == nullptr) return 1;
    setField(fileName, e->fileName, kDimFileNameWidth);
    return 0;
}

int dimIsBackupImageActivated() {
    const DimImageEntry* e = imageCount > 0 ? findByCurrState(kDimStateBackup) : nullptr;
    return e != nullptr && std::strcmp(e->nextState, kDimStateActive) == 0 ? 1 : 0;
}

namespace {
// The slot of a listed image whose file exists, or nullptr.
DimImageEntry* listedImage(const char* fileName) {
    if (imageCount == 0 || !dimImageExists(fileName)) return nullptr;
    return findByName(fileName);
}
}  // namespace

int dimIsAnImage(const char* fileName, int* result) {
    *result = listedImage(fileName) != nullptr ? kDimIsAnImage : kDimIsNotAnImage;
    return 0;
}

int dimImageDescrGet(const char* fileName, char* description) {
    const DimImageEntry* e = listedImage(fileName);
    if (e == nullptr) return kBspNotFound;
    setField(description, e->description, kDimDescriptionWidth);
    return 0;
}

int dimImageDescrSet(const char* fileName, const char* description) {
    DimImageEntry* e = listedImage(fileName);
    if (e == nullptr) return kBspNotFound;
    ListSnapshot before = snapshot();
    setField(e->description, description, kDimDescriptionWidth);
    return commitChange(before);
}

int dimImageActivate(const char* fileName) {
    DimImageEntry* e = findByName(fileName);
    if (e == nullptr) return kBspNotFound;
    if (std::strcmp(e->nextState, kDimStateActive) == 0) return kBspAlreadySo;
    ListSnapshot before = snapshot();
    for (auto& other : images) {
        if (slotUsed(other) && std::strcmp(other.nextState, kDimStateActive) == 0) {
            setField(other.nextState, kDimStateBackup, kDimStateWidth);
            setField(other.tag, "0", kDimTagWidth);
            break;
        }
    }
    setField(e->tag, "0", kDimTagWidth);
    setField(e->nextState, kDimStateActive, kDimStateWidth);
    return commitChange(before);
}

int dimImageDelete(const char* fileName) {
    DimImageEntry* e = listedImage(fileName);
    if (e == nullptr) return kBspNotFound;
    if (std::strcmp(e->currState, kDimStateActive) == 0 ||
        std::strcmp(e->nextState, kDimStateActive) == 0)
        return kBspRefused;
    // The list stops naming the image before its file goes, so that it never
    // names a missing file; a file that cannot be removed is listed again.
    ListSnapshot before = snapshot();
    std::memset(e, 0, sizeof *e);
    --imageCount;
    if (commitChange(before) != 0) return kBspError;
    if (osapiFsDeleteFile(fileName) != kOsapiSuccess) {
        ListSnapshot after = snapshot();
        std::memcpy(images, before.slots, sizeof images);
        imageCount = before.count;
        commitChange(after);
        return kBspError;
    }
    return 0;
}

namespace {
// Lists an image in memory: active in an empty list, else backup in the first
// free slot. False when both slots are taken.
bool addSlot(const char* fileName) {
    if (imageCount == 0) clearList();
    for (auto& e : images) {
        if (slotUsed(e)) continue;
        const char* state = imageCount == 0 ? kDimStateActive : kDimStateBackup;
        std::memset(&e, 0, sizeof e);
        setField(e.fileName, fileName, kDimFileNameWidth);
        setField(e.tag, "0", kDimTagWidth);
        setField(e.currState, state, kDimStateWidth);
        setField(e.nextState, state, kDimStateWidth);
        if (imageCount == 0) setField(e.description, "default image", kDimDescriptionWidth);
        ++imageCount;
        return true;
    }
    return false;
}
}  // namespace

int dimImageAdd(const char* sourceFileName, const char* destFileName) {
    if (std::strcmp(sourceFileName, destFileName) != 0) {
        int rc = copyOver(sourceFileName, destFileName);
        if (rc != 0) return rc;
    }
    if (!dimImageExists(destFileName)) return 1;
    if (imageCount > 0 && findByName(destFileName) != nullptr) return 0;
    ListSnapshot before = snapshot();
    if (!addSlot(destFileName)) return 1;
    return commitChange(before);
}

int dimShowBootCfg() {
    int fd = plat::open(kDimFileName, plat::kOpenRead);
    if (fd < 0) {
        plat::printf(" boot.dim doesn't exist on the disk \n");
        return -1;
    }
    char data[kDimFileMax + 1] = {};
    long got = imageio::readFully(fd, data, sizeof data);
    plat::close(fd);
    if (got < 0) {
        plat::printf(" boot.dim read error\n");
        return -2;
    }
    if (got == 0) {
        plat::printf(" boot.dim empty\n");
        return -3;
    }
    bool atEnd = static_cast<size_t>(got) <= kDimFileMax;
    size_t length = atEnd ? static_cast<size_t>(got) : kDimFileMax;
    plat::printf("\nsize is %d \n", static_cast<int>(length));
    char line[kDimLineMax];
    int number = 1;
    for (size_t at = 0; at < length; ++number) {
        int used = dimLineGet(data + at, length - at, atEnd, line);
        if (used < 0) break;
        at += static_cast<size_t>(used);
        plat::printf("boot.dim %d :\t\t %s \n", number, line);
    }
    return 0;
}
