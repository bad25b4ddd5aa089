#include "support/test_board.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "board/board_devices.h"
#include "bootflash/bootflash.h"

namespace stktest {

namespace fs = std::filesystem;

std::string makeTempDir(const char* prefix) {
    std::string templ = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    return templ;
}

void removeTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string readHostFile(const std::string& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

void writeHostFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void TestBoard::powerOn() {
    auto clock = std::make_unique<plat::VirtualClock>();
    auto con = std::make_unique<plat::ScriptedConsole>(*clock);
    clock_ = clock.get();
    con_ = con.get();
    plat::installBoard(std::make_unique<plat::Board>(std::move(con), std::move(clock), dir_));
    attachBoardDevices(plat::board());
}

TestBoard::TestBoard(bool formatted) : dir_(makeTempDir("stkboard-")) {
    powerOn();
    if (!formatted) return;
    Flash_Init();
    disk().format(nullptr);
    disk().mount();
    fs::create_directories(dir_ + "/DskVol/files");
    plat::chdir("/DskVol/files");
}

TestBoard::~TestBoard() {
    plat::uninstallBoard();
    removeTree(dir_);
}

std::string TestBoard::hostPath(const std::string& boardName) const {
    std::string host;
    std::string name =
        boardName.empty() || boardName[0] == '/' ? boardName : "/DskVol/files/" + boardName;
    return plat::board().disk().resolve(name.c_str(), host) ? host : dir_ + "/invalid";
}

bool TestBoard::exists(const std::string& boardName) const {
    return fs::exists(hostPath(boardName));
}

std::optional<plat::BoardStop> TestBoard::run(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const plat::BoardStop& stop) {
        return stop;
    }
    return std::nullopt;
}

}  // namespace stktest
