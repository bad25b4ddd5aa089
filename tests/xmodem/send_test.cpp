// The send engine against the scripted receiver on a virtual clock: one table
// of {arguments, board files, receiver -> result, blocks, files, message},
// with the transfer command's refusals; the line mode around a transfer.
//
// Receiver settings: 'y' YMODEM, 'g' streaming, 'm' MODEM7, 's' one wrong
// name sum, "N<n>"/"X<n>" NAK/CAN CAN for the first n blocks, "E<n>" ACK the
// n-th EOT, '-' no start character after a header. Block sizes 'S' 128, 'X'
// 1K; data as expand() reads it; names with '_' for a space.
#include <algorithm>
#include <regex>
#include <sstream>

#include "platform/platform.h"
#include "support/xmodem_sender.h"

namespace {

using namespace xmpeer;
using CommandTest = XmodemTest;

struct SendCase {
    const char *name, *args, *boardFiles, *receiver, *start;
    int rc;
    const char *types, *files;
    const char* said = "";
    const char* names = "";
    const char* header = nullptr;
};

const SendCase kCases[] = {
    {"NoWordPrintsTheUsage", "", "", "", "C", -1, "", "",
     "Usage:  \txmodem  -[rb!rt!ra!sb!st!sa][options] filename... 0\n\rMajor Commands --"},
    {"NoFunctionIsRefused", "-", "", "", "C", -1, "", "",
     "XMODEM Fatal Error - Either Send or Receive Function must be chosen!"},
    {"BothFunctionsAreRefused", "-rsm", "", "", "C", -1, "", "",
     "XMODEM Fatal Error- Both Send and Receive Functions Specified\n\r"},
    {"SendWithoutFileIsRefused", "-sb", "", "", "C", -1, "", "",
     "XMODEM Fatal Error - No file specified to send"},
    {"MissingFileIsRefused", "-sb nothere", "", "", "C", -1, "", "", "Can't find requested file"},
    {"EmptyFileIsRefused", "-sb empty", "empty=", "", "C", -1, "", "", "Requested file size is 0"},
    {"MoreThanSeventeenNamesAreRefused",
     "-sby f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 f0 f1 f2 f3 f4 f5 f6 f7", "", "y", "C", -1, "", "",
     "XMODEM Fatal Error - Too many file names (at most 17)"},
    {"TwoHundredBytesMakeTwoPaddedBlocks", "-sb f.bin", "f.bin=#200", "", "C", 0, "SS", "#200_*56",
     "File f.bin Ready to SEND in binary mode\n\r"
     "Estimated File Size 1K, 2 Sectors, 200 Bytes\n\r"
     "Estimated transmission time 1 second  \n\r"
     "Send several Control-X characters to cancel before transfer starts.\n\r"},
    {"ExactMultipleWithChecksumHasNoPaddingBlock", "-sb f.bin", "f.bin=#256", "", "\x15", 0, "SS",
     "#256"},
    {"UpperCaseWordWithoutDashUses1KThen128", "CBSKE f.bin", "f.bin=#3000", "", "C", 0, "XXX",
     "#3000_*72",
     "Estimated File Size 3K, 24 Sectors, 3000 Bytes\n\rEstimated transmission time 4 seconds "
     "\n\r"},
    {"TextModeSendsCrLf", "-sp t.txt", "t.txt=1\n2\n3\n", "", "C", 0, "S", "1\r\n2\r\n3\r\n_*119",
     "File Size 1K, 1 Records, 9 Bytes\n\r"},
    {"YmodemCkHeaderThen1KThenTail", "-sby Big.Bin", "Big.Bin=#2500", "y", "CK", 0, "SXXSSSSS",
     "#2500_*60", "Ready to YMODEM xbatch SEND in binary mode\n\r", "big.bin",
     "big\\.bin\\x002500 [0-7]+ 100644 0 1 2500 0\\x00+\\x14\\x00"},
    {"BatchPreCountCountsTextLineFeeds", "-sy a.txt b.txt", "a.txt=1\n2\n3\n b.txt=12345", "y", "C",
     0, "S*5", "1\r\n2\r\n3\r\n_*119 12345_*123", "", "a.txt b.txt",
     "a\\.txt\\x009 [0-7]+ 100644 0 2 14 0\\x00+\\x01\\x00"},
    {"BatchOfMissingFilesOnlyCloses", "-sby none1 none2", "", "y", "C", 0, "S", ""},
    {"YmodemGWaitsForNoAck", "-sby g.bin", "g.bin=#5000", "yg", "G", 0, "S*42", "#5000_*120", "",
     "g.bin"},
    {"YmodemHeaderWithoutStartIsABotch", "-sby f.bin", "f.bin=data", "y-", "C", -1, "S", "",
     "\r\nYMODEM protocol botch, C or G expected\n\r", "f.bin"},
    {"HeaderRetriesKeep1KDataBlocks", "-sby f.bin", "f.bin=#2500", "yN5", "CK", 0, "S*6XXSSSSS",
     "#2500_*60", "", "f.bin"},
    {"ExcessiveErrorsFallBackTo128", "-sbk f.bin", "f.bin=#4096", "N5", "C", 0, "X*6S*24", "#4096"},
    {"TenTransmissionsWithoutAckGiveUp", "-sb f.bin", "f.bin=#100", "N99", "C", -1, "S*10", "",
     "\x18\x18\x18\x18\x18\r\nToo many errors in transmission\n\r"},
    {"CanAnswerIsIgnoredWithoutN", "-sb f.bin", "f.bin=data", "X1", "C", 0, "SS", "data_*124"},
    {"CanAnswerWithNCancels", "-sbn f.bin", "f.bin=data", "X9", "C", -1, "S", "",
     "\r\nSend Canceled by CAN-CAN\n\r"},
    {"CanCanAtTheStartCancels", "-sb f.bin", "f.bin=data", "", "\x18\x18", -1, "", "",
     "\r\nSend Canceled by CAN-CAN\n\r"},
    {"EotNeverAckedIsAFailure", "-sb f.bin", "f.bin=data", "E0", "C", -1, "S", "",
     "\r\nRemote System Not Responding on Completion\n\r"},
    {"EotAckedAtTheSixthIsFailure", "-sb f.bin", "f.bin=data", "E6", "C", -1, "S", "",
     "\r\nRemote System Not Responding on Completion\n\r"},
    {"Modem7SendsNamesSkipsMissingFilesAndCloses", "-sbm data.bin missing second.txt",
     "data.bin=#300 second.txt=two\n", "m", "\x15", 0, "SSSS", "#300_*84 two\n_*124",
     "Ready to MODEM7 xbatch SEND in binary mode\n\r", "DATA____BIN SECOND__TXT"},
    {"Modem7NameWithABadSumIsSentAgain", "-sbm a.b", "a.b=x", "ms", "\x15", 0, "S", "x_*127", "",
     "A_______B__"},
};

std::vector<std::string> words(const std::string& text, bool expanded) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; std::getline(in, w, ' ');) out.push_back(expanded ? expand(w) : w);
    return out;
}

class SendTable : public XmodemTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendTable, EndsAsScripted) {
    const SendCase& c = GetParam();
    for (const auto& f : words(c.boardFiles, false))
        tb.writeFile(f.substr(0, f.find('=')), expand(f.substr(f.find('=') + 1)));
    ReceiverPeer peer(con());
    std::string r = c.receiver;
    peer.ymodem = r.find('y') != std::string::npos;
    peer.stream = r.find('g') != std::string::npos;
    peer.modem7 = r.find('m') != std::string::npos;
    peer.badSums = r.find('s') != std::string::npos;
    size_t at = r.find_first_of("NX");
    peer.overrideAnswer = at < r.size() && r[at] == 'N' ? "\x15" : "\x18\x18";
    peer.overrideCount = at < r.size() ? std::stoul(r.substr(at + 1)) : 0;
    if (r[0] == 'E') peer.ackEotAt = std::stoi(r.substr(1));
    peer.start(c.start);
    if (r.find('-') != std::string::npos) peer.startChars = "";
    EXPECT_EQ(xm(c.args), c.rc);
    std::string types;
    for (const auto& b : peer.blocks) types += b.type == SOHc ? 'S' : 'X';
    EXPECT_EQ(types, expand(c.types));
    if (*c.said) {
        EXPECT_TRUE(stktest::contains(con().output(), c.said));
    }
    if (c.rc == 0) {
        EXPECT_EQ(peer.files, words(c.files, true));
        // A batch ends with the empty header (YMODEM) or the end of names (MODEM7).
        if (peer.ymodem || peer.modem7) {
            EXPECT_TRUE(peer.batchClosed);
        }
    }
    std::vector<std::string> names = words(c.names, false);
    for (auto& n : names) std::replace(n.begin(), n.end(), '_', ' ');
    EXPECT_EQ(peer.modem7 ? peer.modem7Names : peer.headerNames, names);
    std::string header = peer.blocks.empty() ? "" : peer.blocks[0].data;
    if (c.header) {
        EXPECT_TRUE(std::regex_match(header, std::regex(c.header))) << header;
    }
}

INSTANTIATE_TEST_SUITE_P(Send, SendTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommandTest, TransferModeIsRawAndRestoredAfterwards) {
    plat::SignalHandler handlerDuring = nullptr;  // seen at the first byte in transfer mode
    con().onWrite = [&](std::string_view) {
        if (handlerDuring || con().options() != 0) return;
        handlerDuring = plat::sigvec15Get();
        con().sendAfter(1000, std::string(1, EOTc));
    };
    int before = con().options();
    EXPECT_EQ(xm("-cbrke f"), 0);
    EXPECT_EQ(handlerDuring, &onintr);
    EXPECT_EQ(con().options(), before);
    EXPECT_EQ(plat::sigvec15Get(), nullptr);
}

}  // namespace
