#include "sim/at24c02.h"

#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/host/board_store.h"

namespace sim {

At24c02::At24c02(std::string file, const std::array<uint8_t, 256>& fresh)
    : file_(std::move(file)), bytes_(fresh) {
    if (file_.empty()) return;
    std::vector<uint8_t> stored;
    if (plat::readBoardFile(file_.c_str(), stored) && stored.size() == bytes_.size())
        std::memcpy(bytes_.data(), stored.data(), bytes_.size());
    else
        plat::writeBoardFile(file_.c_str(), bytes_.data(), bytes_.size());
}

bool At24c02::select(bool read) {
    if (plat::nowUs() < busyUntilUs_) return false;
    addressLeft_ = read ? 0 : addressBytes;
    return true;
}

bool At24c02::writeByte(uint8_t value) {
    if (addressLeft_ > 0) {
        address_ = value;
        --addressLeft_;
        return true;
    }
    bytes_[address_] = value;
    address_ = uint8_t((address_ & 0xF8) | ((address_ + 1) & 0x07));
    written_ = true;
    return true;
}

void At24c02::stop() {
    if (!written_) return;
    written_ = false;
    ++writeCycles;
    busyUntilUs_ = plat::nowUs() + writeCycleUs;
    if (!file_.empty()) plat::writeBoardFile(file_.c_str(), bytes_.data(), bytes_.size());
}

void At24c02::setBytes(const std::array<uint8_t, 256>& bytes) {
    bytes_ = bytes;
    if (!file_.empty()) plat::writeBoardFile(file_.c_str(), bytes_.data(), bytes_.size());
}

std::array<uint8_t, 256> factoryVpdRecord() {
    std::array<uint8_t, 256> rom;
    rom.fill(0xFF);
    size_t at = 0;
    auto put = [&](std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) rom[at++] = b;
    };
    auto text = [&](uint8_t type, const char* s) {
        put({type, uint8_t(std::strlen(s))});
        for (; *s; ++s) rom[at++] = uint8_t(*s);
    };
    // A board header precedes the record on these boards.
    put({0x01, 0x00, 0x00, 0x01, 0x85, 0x41, 0x00, 0x00});
    put({0xFF, 0x01, 0xE0});
    text(1, "SX4824G Stackable Switch");
    text(2, "91-0048-0210");
    text(3, "SXB1040231");
    put({4, 6, 0x02, 0x53, 0x4B, 0x10, 0x40, 0x2A});
    put({5, 2, 10, 23});
    put({6, 4, 0x00, 0x50, 0x85, 0x41});
    put({7, 1, 0x03});
    return rom;
}

}  // namespace sim
