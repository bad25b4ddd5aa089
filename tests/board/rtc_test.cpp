// The real-time clock: what start-up makes of it, the operator's dialog that
// sets it, and its time across a power cycle.
#include "board/rtc.h"

#include <string>

#include "board/i2c.h"
#include "boot/boot.h"
#include "sim/ds1338.h"
#include "sim/i2c_controllers.h"
#include "support/test_board.h"

namespace {

sim::Ds1338& rtc() {
    auto* controller = plat::board().map().find<sim::I2cControllerModel>();
    return *controller->bus().find<sim::Ds1338>(sim::Ds1338::kAddress);
}

std::string clockReading() {
    uint32_t y, mo, d, h, mi, s;
    if (tarnRtcGet(&y, &mo, &d, &h, &mi, &s) != 0) return "unreadable";
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", y, mo, d, h, mi, s);
    return text;
}

enum class ClockState { Running, Missing, Halted, TwelveHourPm };
struct StartUpClock {
    const char* name;
    ClockState state;
    const char* calendar;  // the board's calendar clock right after start-up
};

class StartUpSetsTheCalendar : public stktest::BoardTest,
                               public ::testing::WithParamInterface<StartUpClock> {};

TEST_P(StartUpSetsTheCalendar, FromTheClockChip) {
    rtc().setTime(2010, 3, 5, 14, 30, 0);
    if (GetParam().state == ClockState::Missing) rtc().nackSelections = -1;
    if (GetParam().state == ClockState::Halted) {
        tb.clock().sleepUs(7000000);
        rtc().halt();
        tb.clock().sleepUs(60000000);  // stopped: these seconds are not counted
    }
    if (GetParam().state == ClockState::TwelveHourPm) rtc().setReg(2, 0x40 | 0x20 | 0x02);
    plat::resetProcessState();
    plat::unmountAllVolumes();
    uint64_t before = tb.clock().nowUs();
    tb.run([] { usrAppInit(); });
    // Start-up itself takes some (virtual) time after it set the calendar.
    std::time_t startUp = std::time_t((tb.clock().nowUs() - before) / 1000000u);
    std::tm tm = plat::localtime(plat::time() - startUp);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    EXPECT_EQ(std::string(text), GetParam().calendar);
    if (GetParam().state == ClockState::Halted) {
        EXPECT_FALSE(rtc().halted());
        EXPECT_EQ(rtc().reg(7) & 0x20, 0);
    }
}

const StartUpClock kStartUps[] = {
    {"Running", ClockState::Running, "2010-03-05 14:30:00"},
    {"Missing", ClockState::Missing, "2005-04-22 08:00:00"},
    {"HaltedKeepsSeconds", ClockState::Halted, "2010-03-05 14:30:07"},
    {"TwelveHourForm", ClockState::TwelveHourPm, "2010-03-05 14:30:00"},
};
INSTANTIATE_TEST_SUITE_P(Table, StartUpSetsTheCalendar, ::testing::ValuesIn(kStartUps),
                         [](const auto& info) { return std::string(info.param.name); });

enum class LineFault { None, ClockMissing, LineFails };
struct TodLine {
    const char* name;
    const char* input;
    int rc;
    const char* clock;  // the clock chip afterwards
    LineFault fault = LineFault::None;
};

class TodSet : public stktest::BoardTest, public ::testing::WithParamInterface<TodLine> {};

TEST_P(TodSet, SetsTheClockOrRefuses) {
    i2cInit(0x90, 0x10, 0x3f);
    rtc().setTime(2010, 3, 5, 14, 30, 0);
    con().send(GetParam().input);
    if (GetParam().fault == LineFault::ClockMissing) rtc().nackSelections = -1;
    if (GetParam().fault == LineFault::LineFails) con().failReadAt(1);
    EXPECT_EQ(tod_set(), GetParam().rc);
    rtc().nackSelections = 0;
    EXPECT_TRUE(stktest::matchesGolden(con().output(), "board/rtc_dialog.txt", GetParam().name));
    EXPECT_EQ(clockReading(), GetParam().clock);
}

const char kKept[] = "2010-03-05 14:30:00";
const TodLine kTodLines[] = {
    {"EndOfYear", "12-31-2010 23:59:59\r", 0, "2010-12-31 23:59:59"},
    {"Midnight", "01-01-2010 0:00:00\r", 0, "2010-01-01 00:00:00"},
    {"NextCentury", "07-04-2131 9:05:00\r", 0, "2131-07-04 09:05:00"},
    {"Month13", "13-01-2010 10:00:00\r", -1, kKept},
    {"Day0", "01-00-2010 10:00:00\r", -1, kKept},
    {"Second60", "01-01-2010 10:00:60\r", -1, kKept},
    {"FiveFields", "01-01-2010 10:00\r", -1, kKept},
    {"YearBeyondTheCenturyByte", "01-01-25600 10:00:00\r", -1, kKept},
    {"ClockDoesNotAnswer", "12-31-2010 23:59:59\r", -1, kKept, LineFault::ClockMissing},
    {"LineCannotBeRead", "12-31-2010 23:59:59\r", -1, kKept, LineFault::LineFails},
};
INSTANTIATE_TEST_SUITE_P(Table, TodSet, ::testing::ValuesIn(kTodLines),
                         [](const auto& info) { return std::string(info.param.name); });

using RtcBoard = stktest::BoardTest;

TEST_F(RtcBoard, ClockRunsOnWhileTheBoardIsOff) {
    i2cInit(0x90, 0x10, 0x3f);
    ASSERT_EQ(tarnRtcSet(2031, 7, 4, 9, 5, 0), 0);
    tb.clock().sleepUs(90000000);
    sim::Ds1338 restarted;  // loads the board file as at the next power-on
    EXPECT_EQ(restarted.reg(1), 0x06);
    EXPECT_EQ(restarted.reg(0), 0x30);
    EXPECT_EQ(restarted.reg(8), 20);
    EXPECT_EQ(clockReading(), "2031-07-04 09:06:30");
    EXPECT_EQ(tarnRtcShow(), 0);
    EXPECT_EQ(con().output(), "Year 2031, Month 7, Day 4, Hour 9 Min 6, Sec 30\n");
}

// The QEMU board's clock loses its RAM at every reset and counts from 2000:
// the board description fixes the century and the years it takes.
TEST_F(RtcBoard, FixedCenturyBoardReadsAndRefusesByItsYears) {
    i2cInit(0x90, 0x10, 0x3f);
    plat::board().description.rtcFixedCentury = 20;
    plat::board().description.rtcFirstYear = 2000;
    plat::board().description.rtcLastYear = 2099;
    rtc().setTime(2031, 7, 4, 9, 5, 0);
    rtc().setReg(8, 0);
    EXPECT_EQ(clockReading(), "2031-07-04 09:05:00");
    con().send("07-04-2131 9:05:00\r");
    EXPECT_EQ(tod_set(), -1);
    EXPECT_TRUE(
        stktest::matchesGolden(con().output(), "board/rtc_dialog.txt", "OutsideTheBoardsYears"));
}

}  // namespace
