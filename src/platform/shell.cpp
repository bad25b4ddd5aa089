// The shell routines of the file system: cd, pwd, copy, the directory
// listing and the volume details.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"

namespace plat {

int cd(const char* name) {
    if (chdir(name) != 0) {
        plat::printf("cd: error = %#x.\n", lastError());
        return -1;
    }
    return 0;
}

void pwd() {
    char cwd[256];
    plat::printf("%s\n", getcwd(cwd, sizeof cwd) ? cwd : "");
}

int copy(const char* from, const char* to) {
    int in = open(from, kOpenRead);
    if (in < 0) return -1;
    // Opening the destination truncates it: when both names reach the same
    // file ("image1", "./image1", "/DskVol/files/image1") that would empty
    // the source, so such a copy is refused and the file stays as it was.
    if (sameFile(from, to)) {
        close(in);
        return -1;
    }
    int out = open(to, kOpenReadWrite | kOpenCreate | kOpenTrunc);
    if (out < 0) {
        close(in);
        return -1;
    }
    std::vector<char> buf(64 * 1024);
    int result = 0;
    for (;;) {
        long r = read(in, buf.data(), buf.size());
        if (r < 0) {
            result = -1;
            break;
        }
        if (r == 0) break;
        if (write(out, buf.data(), size_t(r)) != r) {
            result = -1;
            break;
        }
    }
    close(in);
    if (close(out) != 0) result = -1;
    return result;
}

static void listDir(const std::string& boardPath, bool longForm, bool recursive) {
    Dir* d = opendir(boardPath.c_str());
    if (!d) return;
    std::vector<std::string> subdirs;
    plat::printf("\nListing Directory %s:\n", boardPath.c_str());
    while (DirEntry* e = readdir(d)) {
        std::string child = boardPath + "/" + e->name;
        Stat st;
        if (stat(child.c_str(), &st) != 0) continue;
        bool isDir = (st.mode & kModeTypeMask) == kModeDir;
        if (longForm) {
            char mode[11] = "----------";
            if (isDir) mode[0] = 'd';
            const char* rwx = "rwxrwxrwx";
            for (int i = 0; i < 9; ++i)
                if (st.mode & (0400 >> i)) mode[i + 1] = rwx[i];
            std::tm tm = localtime(st.mtime);
            char date[32];
            std::strftime(date, sizeof date, "%b %e %Y %H:%M", &tm);
            plat::printf("%s 1 0 0 %10llu %s %s%s\n", mode, (unsigned long long)st.size, date,
                         e->name, isDir ? "/" : "");
        } else {
            plat::printf("%s%s\n", e->name, isDir ? "/" : "");
        }
        if (isDir && recursive && std::strcmp(e->name, ".") != 0 && std::strcmp(e->name, "..") != 0)
            subdirs.push_back(child);
    }
    closedir(d);
    for (const auto& s : subdirs) listDir(s, longForm, recursive);
}

int dirList(const char* name, bool longForm, bool recursive) {
    char cwd[256];
    std::string path = name && *name ? name : getcwd(cwd, sizeof cwd) ? cwd : "/DskVol";
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    Stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    listDir(path, longForm, recursive);
    return 0;
}

int dosFsShow(const char* volume, int level) {
    Volume* vol;
    std::string path;
    if (!resolve(volume, &vol, &path)) return -1;
    vol->show(volume, level);
    return 0;
}

}  // namespace plat
