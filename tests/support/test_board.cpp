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
    char* p = ::mkdtemp(templ.data());
    if (!p) throw std::runtime_error("mkdtemp failed");
    return templ;
}

void removeTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string readHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeHostFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

TestBoard::TestBoard(bool formatted) {
    dir_ = makeTempDir("stkboard-");
    auto clock = std::make_unique<plat::VirtualClock>();
    clock_ = clock.get();
    auto con = std::make_unique<plat::ScriptedConsole>(*clock_);
    con_ = con.get();
    plat::installBoard(std::make_unique<plat::Board>(std::move(con), std::move(clock), dir_));
    attachBoardDevices(plat::board());
    if (formatted) {
        Flash_Init();
        plat::board().disk().format(nullptr);
        plat::board().disk().mount();
        fs::create_directories(dir_ + "/DskVol/files");
        plat::chdir("/DskVol/files");
    }
}

TestBoard::~TestBoard() {
    plat::uninstallBoard();
    removeTree(dir_);
}

std::string TestBoard::hostPath(const std::string& boardName) const {
    std::string host;
    std::string name =
        boardName.empty() || boardName[0] == '/' ? boardName : "/DskVol/files/" + boardName;
    if (!plat::board().disk().resolve(name.c_str(), host)) return dir_ + "/invalid";
    return host;
}

void TestBoard::writeFile(const std::string& boardName, const std::string& bytes) {
    writeHostFile(hostPath(boardName), bytes);
}

std::string TestBoard::readFile(const std::string& boardName) const {
    return readHostFile(hostPath(boardName));
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
