#include "sim/i2c_models.h"

#include <cstdio>
#include <memory>

#include "platform/host/address_map.h"
#include "platform/host/board.h"
#include "platform/platform.h"
#include "sim/at24c02.h"
#include "sim/ds1338.h"
#include "sim/i2c_controllers.h"

namespace sim {

void attachI2cDevices(plat::Board& board) {
    auto processor = std::make_unique<I2cControllerModel>();
    I2cBus& bus = processor->bus();
    bus.add(0x57, std::make_unique<RegisterFile>());  // memory module EEPROM
    bus.add(0x2E, std::make_unique<RegisterFile>());  // temperature sensor
    bus.add(Ds1338::kAddress, std::make_unique<Ds1338>());
    bus.add(At24c02::kMainBoardAddress,
            std::make_unique<At24c02>(At24c02::kMainBoardFile, factoryVpdRecord()));
    std::array<uint8_t, 256> blank;
    blank.fill(0xFF);
    bus.add(0x52, std::make_unique<At24c02>("", blank));  // daughter board EEPROM
    board.map().attachOwned(plat::kCcsrBase + I2cControllerModel::kOffset,
                            I2cControllerModel::kSize, std::move(processor), "i2c");

    uint32_t moduleBase = plat::vxImmrGet();
    auto module = std::make_unique<CpmI2cModel>(moduleBase);
    module->bus().add(0x50, std::make_unique<RegisterFile>());  // power supply 1 EEPROM
    module->bus().add(0x54, std::make_unique<RegisterFile>());  // power supply 2 EEPROM
    module->bus().add(0x20, std::make_unique<RegisterFile>());  // I/O expander
    board.map().attachOwned(moduleBase, CpmI2cModel::kSize, std::move(module), "cpm");
}

namespace {
struct ClockText {
    int year, month, day, hour, minute, second;
};

bool readClockText(const char* text, ClockText* t) {
    char end = 0;
    if (std::sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%c", &t->year, &t->month, &t->day, &t->hour,
                    &t->minute, &t->second, &end) != 6)
        return false;
    return t->month >= 1 && t->month <= 12 && t->day >= 1 && t->day <= 31 && t->hour <= 23 &&
           t->minute <= 59 && t->second <= 59 && t->year >= 0 && t->hour >= 0 && t->minute >= 0 &&
           t->second >= 0;
}
}  // namespace

bool isBoardClockText(const char* text) {
    ClockText t;
    return readClockText(text, &t);
}

bool setBoardClock(const char* text) {
    ClockText t;
    if (!readClockText(text, &t)) return false;
    auto* controller = plat::board().map().find<I2cControllerModel>();
    Ds1338* clock = controller ? controller->bus().find<Ds1338>(Ds1338::kAddress) : nullptr;
    if (!clock) return false;
    clock->setTime(t.year, t.month, t.day, t.hour, t.minute, t.second);
    return true;
}

}  // namespace sim
