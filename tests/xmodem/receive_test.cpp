// The receive engine against the scripted sender on a virtual clock: one
// table of {arguments, sender script, tamper -> result, files, message}.
//
// Script tokens: "3a" block 3 of 128 'a' ("3A": 1024), "E" EOT, "F<data>" a
// file in 128-byte blocks and EOT, "H<name>:<fields>" a YMODEM header, "Z"
// the empty header, "M<name>" a MODEM7 name ('_' space, '~' NUL), "B" the
// MODEM7 batch end, "A<n>" abort the name at character n, "W<name>=<data>"
// an existing file, "!<n>" the n-th disk write fails. Tampers are
// "<item><attempt><change>" ('*': any); files "name=<data>" or "name" for
// absent; names, arguments and data as expand() reads them.
#include <filesystem>
#include <set>
#include <sstream>

#include "platform/platform.h"
#include "support/xmodem_sender.h"

namespace {

using namespace xmpeer;

struct ReceiveCase {
    const char *name, *args, *script, *tamper;
    int rc;
    const char* files;
    const char* said = "";
    const char* starts = nullptr;
};

const char kTooMany[] = "\r\nABORTED -- Too Many Errors -- Deleting File\n\r";
const char kCantCreate[] = "\r\nCan't create file for receive\n\r";

const ReceiveCase kCases[] = {
    {"BootFormTakesBothBlockSizesAndTheFirstEot", "-cbrke f.bin", "1a 2B E", "", 0,
     "f.bin=a*128b*1024",
     "Ready to RECEIVE File f.bin in binary mode\n\r"
     "Send several Control-X characters to cancel before transfer starts.\n\rCK\x06\x06\x06",
     "C"},
    {"WithoutETheFirstEotIsRefused", "-cbr f.bin", "Fhello", "", 0, "f.bin=hello_*123",
     "C\x06\x15\x06"},
    {"EotWithoutBlocksLeavesAnExistingFile", "-cbrke f.bin", "Wf.bin=old E", "", 0, "f.bin=old",
     "Warning -- Target File Exists and is Being Overwritten\n\r"},
    {"DuplicateBlockIsWrittenOnce", "-cbrke f.bin", "1a 1a 2b E", "", 0, "f.bin=a*128b*128"},
    {"BlockThreeAfterOneDeletes", "-cbrke f.bin", "1a 3c E", "", -1, "f.bin",
     "CK\x06\x18\x18\x18\x18\x18\r\nABORTED -- Too Many Errors -- Deleting File\n\r"},
    {"FirstBlockTwoEndsWithoutAFile", "-cbrke f.bin", "2b", "", -1, "f.bin",
     "\r\nABORTED -- Remote system is not responding\n\r"},
    {"TenBadBlocksAbortAndDelete", "-cbrke f.bin", "Fa*256", "1*d", -1, "f.bin", kTooMany},
    {"BadNumberAndShortBlockAreRetried", "-cbrke f.bin", "1a 2b 3c E", "10n 20s", 0,
     "f.bin=a*128b*128c*128", "CK\x06\x15\x06\x15\x06\x06"},
    {"SpuriousEotIsAnError", "-cbr f.bin", "1a E 2b E", "11b", 0, "f.bin=a*128b*128"},
    {"CanCanBeforeTheFirstBlockCancels", "-cbrke f.bin", "Fx", "0*C", -1, "f.bin",
     "\r\nReception Canceled by CAN-CAN\n\r"},
    {"CanCanMidFileIsIgnoredWithoutN", "-cbrke f.bin", "1a 2b E", "10c", 0, "f.bin=a*128b*128"},
    {"CanCanMidFileWithNDeletes", "-cbrkne f.bin", "1a 2b E", "10c", -1, "f.bin",
     "\r\nReception Canceled by CAN-CAN; partial file deleted\n\r"},
    // The sender's block cut off, then the operator's CAN CAN once the receiver waits again.
    {"CanCanAfterACutBlockWithNDeletes", "-cbrkne f.bin", "1a 2b E", "10s 11C", -1, "f.bin",
     "\r\nReception Canceled by CAN-CAN; partial file deleted\n\r"},
    {"TextModeDropsCrNulAndEndsABlockAtSub", "-crke f.bin",
     "Fline1\r\nline2\r\n~\xC1_dropped\r\nz*102abc\r\n", "", 0, "f.bin=line1\nline2\nAabc\n",
     " in text mode\n\r"},
    {"SenderStoppingMidFileKeepsWhatArrived", "-cbrke f.bin", "1a", "", -1, "f.bin=a*128",
     "\r\nABORTED -- Remote system is not sending file\n\r"},
    {"WriteErrorDeletes", "-cbrke f.bin", "!2 1a 2b 3c 4d E", "", -1, "f.bin",
     "\r\nFile Write Error\n\r"},
    {"LongArgumentIsCutAt79Characters", "-cbrke n*100", "Fabc", "", 0, "n*72=abc_*125"},
    {"UncreatableFileCancelsTheSender", "-cbrke nodir/f.bin", "Fabc", "", -1, "",
     "\x18\x18\x18\r\nCan't create file for receive\n\r"},
    {"CrcGivesWayToChecksumAtTheThirtiethStart", "-cbre f.bin", "Fsum", "**K", 0, "f.bin=sum_*125",
     "", "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCN"},
    {"YmodemLengthCutsAndTheHeaderNameWins", "-cbrke f.bin",
     "HData.BIN:1000 1d 2d 3d 4d 5d 6d 7d 8d E Z", "", 0, "data.bin=d*1000 f.bin"},
    {"YmodemBatchOfTwoFilesWithBothSizes", "-rbk", "Ha.bin:3000 1A 2A 3A E Hb.bin:3 Fbee Z", "", 0,
     "a.bin=a*3000 b.bin=bee", "Ready for xbatch RECEIVE in binary mode\n\r"},
    {"YmodemGStreamsWithoutAcks", "-rbg", "Hg.bin:2000 1G 2G E Z", "", 0, "g.bin=g*2000",
     "GG\x15\x06G\x06", "GGG"},
    {"YmodemGDamageIsFatal", "-rbg", "Hh.bin:3000 1h 2h 3h E", "2*d", -1, "h.bin", kTooMany},
    {"HostileYmodemNamesStayInTheFolder", "-rb",
     "H../../x:3 Fabc H/etc/X:3 Fabc H..\\..\\y:3 Fabc H\xE9t\xE9.bin:3 Fabc Z", "", 0,
     "..:..:x=abc :etc:x=abc ..:..:y=abc \xE9t\xE9.bin=abc"},
    {"YmodemNameDotDotIsRefused", "-rb", "H..:3", "", -1, "", kCantCreate},
    {"YmodemNameOver255IsRefused", "-rb", "Hn*300:3", "", -1, "",
     "\r\nFile name in YMODEM header too long (over 255 characters)\n\r"},
    {"Modem7NamesTheFiles", "-rbm", "MREAD____ME_ Fmodemseven M../../X____ Fy B", "", 0,
     "read.me=modemseven_*118 ..:..:x=y_*127"},
    {"Modem7AbortedNameIsRetried", "-rbm", "A4 MABC_____TXT Fx B", "", 0, "abc.txt=x_*127"},
    // A file already on the volume (an image, the list, the log) is never named from the line.
    {"StoredNameImage1IsRefused", "-rb", "Wimage1=i HIMAGE1:3 Fabc", "", -1, "image1=i",
     "File image1 already exists, not received"},
    {"Modem7StoredNameIsRefused", "-rbm", "Wboot.dim=d MBOOT____DIM Fy", "", -1, "boot.dim=d"},
    {"Modem7NullName", "-rbm", "M~AME____TXT Fy", "", -1, "",
     "\r\nNull file name in MODEM7 batch receive\n\r"},
};

void build(SenderPeer& p, stktest::TestBoard& tb, const std::string& script) {
    std::istringstream in(script);
    for (std::string t, rest; std::getline(in, t, ' ');) {
        rest = t.substr(1);
        if (t[0] == 'E') p.addEot();
        if (t[0] == 'F') p.addFile(expand(rest), 128);
        if (t[0] == 'Z') p.addYmodemEnd();
        if (t[0] == 'B') p.addBatchEnd();
        if (t[0] == 'W')
            tb.writeFile(rest.substr(0, rest.find('=')), rest.substr(rest.find('=') + 1));
        if (t[0] == '!') tb.disk().failWriteAt(std::stoi(rest));
        if (t[0] == 'A') p.modem7AbortAt = std::stoi(rest);
        if (t[0] == 'H') {
            std::string name = expand(rest.substr(0, rest.find(':')));
            p.addBlock(
                0,
                ymodemHeader(name, rest.substr(rest.find(':') + 1), name.size() > 100 ? 1024 : 128),
                true);
        }
        if (t[0] == 'M') {
            for (char& c : rest) c = c == '_' ? ' ' : c == '~' ? '\0' : c;
            p.addName(rest);
        }
        if (std::isdigit(uint8_t(t[0]))) {
            size_t digits;
            int number = std::stoi(t, &digits);
            char c = t[digits];
            p.addBlock(number, std::string(std::isupper(uint8_t(c)) ? 1024 : 128,
                                           char(std::tolower(uint8_t(c)))));
        }
    }
}

// Changes of a transmission: damaged data, a bad complement, a short block,
// CAN CAN instead or before, one CAN before, a damaged CRC or checksum block,
// block 2 instead.
void tamper(const std::string& changes, size_t item, int attempt, std::string& w) {
    for (size_t i = 0; i + 2 < changes.size(); i += 4) {
        if ((changes[i] != '*' && size_t(changes[i] - '0') != item) ||
            (changes[i + 1] != '*' && changes[i + 1] - '0' != attempt))
            continue;
        char change = changes[i + 2];
        if (change == 'd') w[10] ^= 0x55;
        if (change == 'n') w[2] = 0;
        if (change == 's') w.resize(60);
        if (change == 'C' || change == 'c' || change == 'u')
            w = std::string(change == 'u' ? 1 : 2, CANc) + (change == 'C' ? "" : w);
        if ((change == 'K' && w.size() == 133) || (change == 'S' && w.size() == 132)) w.back() ^= 1;
        if (change == 'b') w = wireBlock(2, std::string(128, 'b'), true);
    }
}

class ReceiveTable : public XmodemTest, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(ReceiveTable, EndsAsScripted) {
    const ReceiveCase& c = GetParam();
    SenderPeer peer(con());
    build(peer, tb, c.script);
    peer.tamper = [&](size_t i, int attempt, std::string& w) { tamper(c.tamper, i, attempt, w); };
    // Every file on the board, to show that nothing appears outside the working directory.
    auto boardFiles = [&] {
        std::set<std::string> files;
        for (auto& e : std::filesystem::recursive_directory_iterator(tb.dir()))
            if (e.is_regular_file()) files.insert(e.path().string());
        return files;
    };
    auto before = boardFiles();
    EXPECT_EQ(xm(expand(c.args).c_str()), c.rc);
    if (*c.said) {
        EXPECT_TRUE(stktest::contains(con().output(), c.said));
    }
    if (c.starts) {
        EXPECT_EQ(peer.startLog, c.starts);
    }
    if (c.rc == 0) {
        EXPECT_TRUE(peer.done());  // every item sent was taken
    }
    std::set<std::string> expected, added;
    std::istringstream in(c.files);
    for (std::string f; std::getline(in, f, ' ');) {
        size_t eq = f.find('=');
        std::string name = expand(f.substr(0, eq)), content = eq > f.size() ? "" : f.substr(eq + 1);
        EXPECT_EQ(tb.exists(name), eq < f.size()) << name;
        EXPECT_EQ(tb.readFile(name), expand(content)) << name;
        if (eq < f.size()) expected.insert(tb.hostPath(name));
    }
    for (auto& f : boardFiles())
        if (!before.count(f) || expected.count(f)) added.insert(f);
    EXPECT_EQ(added, expected);
}

INSTANTIATE_TEST_SUITE_P(Receive, ReceiveTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// With a silent sender and the w option: a 15 s wait, the settle delay (213 ms
// at 9600 bit/s), ten 'C' 'K' at 0, 1, 3, ... 45 s, the abort at 55 s, a 5 s pause.
TEST_F(XmodemTest, SilentSenderSeesTenStartsThenTheAbort) {
    uint64_t t0 = plat::nowUs() + 15000000;
    std::vector<uint64_t> starts;
    con().onWrite = [&](std::string_view s) {
        for (char c : s)
            if (c == 'C' && con().options() == 0) starts.push_back(plat::nowUs() - t0);
    };
    EXPECT_EQ(xm("-cbrkew f.bin"), -1);
    EXPECT_EQ(starts, (std::vector<uint64_t>{213000, 1213000, 3213000, 6213000, 10213000, 15213000,
                                             21213000, 28213000, 36213000, 45213000}));
    EXPECT_TRUE(stktest::contains(
        con().output(), "CKCKCKCKCKCKCKCKCKCK\r\nABORTED -- Remote system is not sending file"));
    EXPECT_EQ(plat::nowUs() - t0, 60213000u);
}

}  // namespace
