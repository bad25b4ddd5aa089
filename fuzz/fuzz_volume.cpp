// The flash volume from stored bytes. The input patches a known good volume
// (first byte odd: the raw erase units of a small flash under the
// translation layer; even: the sectors of a FAT volume on a RAM disk; then
// records of a 16-bit offset and a byte). The volume is mounted (the
// checkers repair what they find), used, and mounted again: nothing may
// crash or hang, and the second mount finds nothing left to repair.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fs/fat_volume.h"
#include "fs/ftl.h"
#include "support/fuzz_board.h"
#include "support/ram_mtd.h"

namespace {

RamMtd& flash() {
    static RamMtd mtd(2048, 24);  // 24 units of 2 KiB
    return mtd;
}

void put(plat::Volume& v, const std::string& path, const std::string& bytes) {
    int h = v.open(path, plat::kOpenReadWrite | plat::kOpenCreate | plat::kOpenTrunc);
    if (h < 0) return;
    v.write(h, bytes.data(), bytes.size());
    v.close(h);
}

void fill(plat::Volume& v) {
    v.mkdir("files");
    v.mkdir("files/sub");
    put(v, "files/image1", std::string(3000, 'i'));
    put(v, "files/boot.dim", "list");
    put(v, "files/diag_config.cfg", "2");
    put(v, "files/sub/A Long Name.text", std::string(700, 'l'));
    put(v, "ROOT.TXT", "root");
}

// What the file calls do with a mounted volume; every result is allowed.
void use(plat::Volume& v) {
    std::vector<std::string> names;
    for (const char* dir : {"", "files", "files/sub"}) {
        if (v.list(dir, &names) != 0) continue;
        for (const std::string& name : names) {
            std::string path = *dir ? std::string(dir) + "/" + name : name;
            plat::Stat st;
            int h = v.open(path, plat::kOpenRead);
            if (h < 0) continue;
            if (v.fstat(h, &st) == 0 && st.size < (1u << 20)) {
                std::string bytes(size_t(st.size), '\0');
                v.read(h, bytes.data(), bytes.size());
            }
            v.close(h);
        }
    }
    put(v, "files/xcode.bin", std::string(2500, 'x'));
    v.rename("files/xcode.bin", "files/image1");
    int h = v.open("files/diag_config.cfg", plat::kOpenReadWrite);
    if (h >= 0) {
        v.write(h, "1", 1);
        v.truncate(h, 1);
        v.close(h);
    }
    v.unlink("files/boot.dim");
    v.mkdir("files/new");
    v.rmdir("files/sub");
}

std::vector<uint8_t> goodFlash() {
    flash().install();
    auto ftl = std::make_unique<fs::Ftl>(flash().flash());
    plat::TffsFormatParams params;
    if (ftl->format(params, 100) != 0 || fs::makeFatVolume(*ftl, 2, 1) != 0) std::abort();
    std::unique_ptr<fs::FatVolume> v;
    if (fs::FatVolume::mount(std::move(ftl), "DskVol", &v) != 0) std::abort();
    fill(*v);
    v.reset();
    return flash().bytes();
}

std::vector<uint8_t> goodImage() {
    auto disk = std::make_unique<fs::RamDisk>(160);
    fs::RamDisk* raw = disk.get();
    std::unique_ptr<fs::FatVolume> v;
    if (fs::makeFatVolume(*disk, 2, 1) != 0 ||
        fs::FatVolume::mount(std::move(disk), "ram0", &v) != 0)
        std::abort();
    fill(*v);
    v->syncAll();
    return std::vector<uint8_t>(raw->data(), raw->data() + raw->size());
}

// A device the volume may own that leaves the sectors with the caller.
class Borrowed : public fs::BlockDevice {
  public:
    explicit Borrowed(fs::BlockDevice& dev) : dev_(dev) {}
    uint32_t sectorCount() const override { return dev_.sectorCount(); }
    int read(uint32_t first, uint32_t n, uint8_t* buf) override { return dev_.read(first, n, buf); }
    int write(uint32_t first, uint32_t n, const uint8_t* buf) override {
        return dev_.write(first, n, buf);
    }
    int discard(uint32_t first, uint32_t n) override { return dev_.discard(first, n); }

  private:
    fs::BlockDevice& dev_;
};

// Mounts, uses and mounts again the FAT volume on the devices `make` gives.
template <class Make>
void twice(Make make) {
    std::unique_ptr<fs::FatVolume> v;
    std::unique_ptr<fs::BlockDevice> dev = make(true);
    if (!dev || fs::FatVolume::mount(std::move(dev), "vol", &v) != 0) return;
    use(*v);
    v.reset();
    dev = make(false);
    FUZZ_CHECK(dev != nullptr);
    FUZZ_CHECK(fs::FatVolume::mount(std::move(dev), "vol", &v) == 0);
    for (auto& r : v->repairs()) fprintf(stderr, "REPAIR %s\n", r.c_str());
    FUZZ_CHECK(v->repairs().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    stkfuzz::freshBoard();
    static const std::vector<uint8_t> flashBytes = goodFlash();
    static const std::vector<uint8_t> imageBytes = goodImage();
    bool onFlash = data[0] & 1;
    std::vector<uint8_t> bytes = onFlash ? flashBytes : imageBytes;
    for (size_t i = 1; i + 2 < size; i += 3)
        bytes[size_t(data[i] << 8 | data[i + 1]) % bytes.size()] = data[i + 2];
    fs::RamDisk disk(uint32_t(bytes.size() / fs::kSectorSize));
    stkfuzz::runOnBoard([&] {
        if (!onFlash) {
            std::memcpy(disk.data(), bytes.data(), bytes.size());
            twice([&](bool) { return std::make_unique<Borrowed>(disk); });
            return;
        }
        flash().bytes() = bytes;
        flash().install();
        twice([&](bool first) -> std::unique_ptr<fs::BlockDevice> {
            auto ftl = std::make_unique<fs::Ftl>(flash().flash());
            if (ftl->mount() != 0) {
                FUZZ_CHECK(first);
                return nullptr;
            }
            FUZZ_CHECK(first || ftl->repairs().empty());
            return ftl;
        });
    });
    return 0;
}
