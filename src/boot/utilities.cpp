// The hidden utilities menu of the Boot Menu: memory, bus and file system
// tools for the factory and for service.
#include "boot/utilities.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/rtc.h"
#include "board/vpd.h"
#include "boot/boot.h"
#include "boot/vpd_generate.h"
#include "bootflash/bootflash.h"
#include "platform/board_show.h"
#include "platform/platform.h"

namespace {

constexpr size_t kListingText = 4096;
constexpr size_t kListingLine = 128;
// Room kept at the end of the listing text for the three lines of totals.
constexpr size_t kTotalsRoom = 3 * 40;

constexpr size_t kTestBuffer = 0x1000000;  // 16 MiB: the largest "image1" the test reads
constexpr int kMismatchLines = 21;

struct HeapBlock {
    char* p;
    explicit HeapBlock(size_t n) : p(static_cast<char*>(plat::malloc(n))) {}
    ~HeapBlock() { plat::free(p); }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
};

// Appends as much of the line as fits, always leaving the text terminated.
void append(char* text, size_t& used, size_t limit, const char* line) {
    size_t n = std::strlen(line);
    if (used + n >= limit) return;  // a line that does not fit whole is left out
    std::memcpy(text + used, line, n + 1);
    used += n;
}

void deleteFile() {
    plat::printf("Input filename - ");
    plat::fflush();
    char name[80] = {};
    if (!plat::gets(name, sizeof name) || plat::unlink(name) != 0)
        plat::printf("Are you sure that file exists? Try again...\n");
}

// One answer of the file system test: a number, asked again while no line
// can be read.
int askNumber(const char* question) {
    for (;;) {
        plat::printf("%s", question);
        plat::fflush();
        char line[80] = {};
        if (!plat::gets(line, sizeof line)) {
            plat::printf("Please input a number\n\n");
            continue;
        }
        plat::printf("\n");
        return std::atoi(line);
    }
}

// Reads the whole file into buf (at most cap bytes) in pieces; the count, or -1.
long readPieces(int fd, uint8_t* buf, size_t cap, size_t piece) {
    size_t got = 0;
    while (got < cap) {
        size_t want = cap - got < piece ? cap - got : piece;
        long r = plat::read(fd, buf + got, want);
        if (r < 0) return -1;
        if (r == 0) break;
        got += size_t(r);
    }
    return long(got);
}

// One write and read-back pass; false when the test has to end.
bool testIteration(const uint8_t* source, uint8_t* readBack, size_t fileSize, size_t writeSize,
                   size_t readSize) {
    std::memset(readBack, 0, kTestBuffer);
    plat::remove("tempcode.bin");
    int fd =
        plat::open("tempcode.bin", plat::kOpenReadWrite | plat::kOpenCreate | plat::kOpenTrunc);
    if (fd < 0) {
        plat::printf("\nError creating temp file.\n\n");
        return false;
    }
    for (size_t done = 0; done < fileSize;) {
        size_t piece = fileSize - done < writeSize ? fileSize - done : writeSize;
        // A short write is as much a failure as an error: the file would differ.
        if (plat::write(fd, source + done, piece) != long(piece)) {
            plat::printf("\nWriting to test file failed.\n");
            plat::close(fd);
            return false;
        }
        done += piece;
    }
    plat::close(fd);
    fd = plat::open("tempcode.bin", plat::kOpenReadWrite);
    if (fd < 0 || readPieces(fd, readBack, kTestBuffer, readSize) < 0) {
        plat::printf("\nReading from test file failed.\n");
        if (fd >= 0) plat::close(fd);
        return false;
    }
    plat::close(fd);
    int shown = 0;
    for (size_t i = 0; i < fileSize && shown < kMismatchLines; ++i) {
        if (source[i] == readBack[i]) continue;
        plat::printf("\nData mismatch at location %d, expected 0x%x and received 0x%x", int(i),
                     source[i], readBack[i]);
        if (++shown == kMismatchLines) plat::printf("\nMore than 20 data mismatch\n");
    }
    return shown == 0;
}

}  // namespace

void listWorkingDirectory() {
    HeapBlock text(kListingText);
    if (!text.p) {
        plat::printf("Not enough memory for the listing.\n\n");
        return;
    }
    text.p[0] = '\0';
    char cwd[256];
    plat::Dir* dir = plat::getcwd(cwd, sizeof cwd) ? plat::opendir(cwd) : nullptr;
    if (!dir) {
        plat::printf("Could not open directory!\n\n");
        return;
    }
    size_t used = 0;
    unsigned long total = 0;
    while (plat::DirEntry* e = plat::readdir(dir)) {
        char line[kListingLine];
        plat::Stat st;
        bool isFile =
            plat::stat(e->name, &st) == 0 && (st.mode & plat::kModeTypeMask) != plat::kModeDir;
        int length;
        if (!isFile) {
            length = std::snprintf(line, sizeof line, "%s\n", e->name);
        } else {
            std::tm tm = plat::localtime(st.mtime);
            length = std::snprintf(line, sizeof line, "%-34s%-10lu %d/%d/%d %d:%.2d:%.2d\n",
                                   e->name, (unsigned long)st.size, tm.tm_mon + 1, tm.tm_mday,
                                   tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
            total += (unsigned long)st.size;
        }
        // A name too long for the line is cut; the line still ends.
        if (length >= int(sizeof line)) line[sizeof line - 2] = '\n';
        append(text.p, used, kListingText - kTotalsRoom, line);
    }
    plat::closedir(dir);

    plat::StatFs fs;
    int fd = plat::open("dummy1", plat::kOpenReadWrite | plat::kOpenCreate);
    if (fd >= 0) {
        plat::fstatfs(fd, &fs);
        plat::close(fd);
        plat::remove("dummy1");
    }
    long size = fs.bsize * fs.blocks;
    char line[kListingLine];
    std::snprintf(line, sizeof line, "\nFilesystem size %ld\n", size);
    append(text.p, used, kListingText, line);
    std::snprintf(line, sizeof line, "Bytes used      %ld\n", long(total));
    append(text.p, used, kListingText, line);
    std::snprintf(line, sizeof line, "Bytes free      %ld\n", size - long(total));
    append(text.p, used, kListingText, line);
    plat::printf("%s", text.p);
}

void fileSystemTest() {
    int iterations = askNumber("\nInput iterations (0=forever) ");
    int writeSize = askNumber("Input write size ");
    int readSize = askNumber("Input read size ");
    plat::printf("\nTest will run %d times (forever if 0)\n", iterations);
    // A size below 1 would never get through the file.
    if (writeSize < 1 || readSize < 1) {
        plat::printf("\nWrite and read sizes must be at least 1.\n");
        return;
    }
    HeapBlock source(kTestBuffer), readBack(kTestBuffer);
    if (!source.p || !readBack.p) {
        plat::printf("\nNot enough memory for the file system test.\n");
        return;
    }
    auto* src = reinterpret_cast<uint8_t*>(source.p);
    auto* back = reinterpret_cast<uint8_t*>(readBack.p);
    int fd = plat::open("image1", plat::kOpenReadWrite);
    if (fd < 0) {
        plat::printf("\nError opening operational code.\n");
        return;
    }
    long fileSize = readPieces(fd, src, kTestBuffer, 128);
    plat::close(fd);
    if (fileSize < 0) {
        plat::printf("\nReading of Operational Code '%s' failed.\n", "image1");
        return;
    }
    plat::printf("File size:  %d\n", int(fileSize));
    for (int iter = 1; iterations == 0 || iter <= iterations; ++iter) {
        plat::printf("\nIter %d of %d -\n", iter, iterations);
        if (!testIteration(src, back, size_t(fileSize), size_t(writeSize), size_t(readSize)))
            return;
    }
}

void formatFlashDisk() {
    Flash_Erase(0xFE000000, 0xFE040000);
    tffsPPCInit();
    openFlashDiskFiles();
}

void BootCodeBusStats() {
    coreShow();
}

void BootCodeSecrets() {
    static const char* const kMenu[] = {
        "\nBoot code utilities menu\nOptions are:\n",
        "1  - Read/Write memory\n",
        "2  - Display PCI bus\n",
        "3  - Display PCI bus details\n",
        "4  - Display core info and bus speeds\n",
        "5  - Display file system details\n",
        "6  - RAM test\n",
        "7  - File system directory listing\n",
        "8  - Generate and store VPD info\n",
        "9  - CPLD diagnostics\n",
        "10 - Switch diagnostics\n",
        "11 - Format file system\n",
        "12 - File system test\n",
        "13 - List Main Menu Options\n",
        "14 - Show RTC\n",
        "15 - Set RTC\n",
        "16 - Dump VPD EEPROM\n",
        "17 - Delete a file\n",
        "0  - Return to main menu",
        "\nSelect option (0-17): ",
    };
    for (;;) {
        for (const char* line : kMenu) plat::printf("%s", line);
        plat::fflush();
        switch (get_menu_option()) {
            case 0:
                return;
            case 1:
                memoryCommandLoop();
                break;
            case 2:
                syspciShow(0);
                break;
            case 3:
                syspciShow(1);
                break;
            case 4:
                BootCodeBusStats();
                break;
            case 5:
                plat::dosFsShow("/DskVol/", 2);
                break;
            case 6:
                SDRAMTest();
                break;
            case 7:
                listWorkingDirectory();
                break;
            case 8:
                BootVPDFileGenerate();
                break;
            case 9:
                plat::printf("NOT Supported on this Platform\n");
                break;
            case 10:
                plat::printf("Use Main Boot Menu for this option\n");
                break;
            case 11:
                formatFlashDisk();
                break;
            case 12:
                fileSystemTest();
                break;
            case 13:
                display_bootmenu(1);
                break;
            case 14:
                tarnRtcShow();
                break;
            case 15:
                tod_set();
                break;
            case 16:
                fellEepromDump(0, 256);
                break;
            case 17:
                deleteFile();
                break;
            default:
                break;
        }
    }
}
