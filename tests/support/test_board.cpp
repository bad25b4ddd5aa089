#include "support/test_board.h"

#include "eventlog/eventlog.h"
#include "osapi/osapi.h"
#include "sim/board_devices.h"

namespace stktest {

void TestBoard::powerOn() {
    auto clock = std::make_unique<plat::VirtualClock>();
    auto con = std::make_unique<plat::ScriptedConsole>(*clock);
    clock_ = clock.get();
    con_ = con.get();
    plat::installBoard(std::make_unique<plat::Board>(std::move(con), std::move(clock), dir_));
    attachBoardDevices(plat::board());
    // The OS layer's messages go through the log utility, as start-up sets it.
    osapiLogRoutineSet(zq_vlogf);
}

namespace {
std::string boardName(const std::string& name) {
    return name.empty() || name[0] == '/' ? name : "/DskVol/files/" + name;
}
}  // namespace

std::string TestBoard::hostPath(const std::string& name) const {
    std::string host;
    return plat::board().disk().hostPath(boardName(name).c_str(), &host) ? host : dir_ + "/invalid";
}

// Files of the folder flash disk are reached on the host directly (no fault
// injection sees them); files of any other volume through the file calls.
std::string TestBoard::readFile(const std::string& name) const {
    std::string host;
    if (plat::board().disk().hostPath(boardName(name).c_str(), &host)) return readHostFile(host);
    std::string bytes;
    int fd = plat::open(boardName(name).c_str(), plat::kOpenRead);
    char buf[4096];
    for (long n; fd >= 0 && (n = plat::read(fd, buf, sizeof buf)) > 0;)
        bytes.append(buf, size_t(n));
    if (fd >= 0) plat::close(fd);
    return bytes;
}

void TestBoard::writeFile(const std::string& name, const std::string& bytes) {
    std::string host;
    if (plat::board().disk().hostPath(boardName(name).c_str(), &host))
        return writeHostFile(host, bytes);
    int fd = plat::creat(boardName(name).c_str());
    if (fd >= 0 && plat::write(fd, bytes.data(), bytes.size()) != long(bytes.size()))
        ADD_FAILURE() << "cannot write " << name;
    if (fd >= 0) plat::close(fd);
}

bool TestBoard::exists(const std::string& name) const {
    plat::Stat st;
    return plat::stat(boardName(name).c_str(), &st) == 0;
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
