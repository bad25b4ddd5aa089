#include "support/xmodem_sender.h"

#include "platform/platform.h"
#include "support/pty_harness.h"

namespace xmpeer {

uint16_t crc16(const std::string& data) {
    uint16_t crc = 0;
    for (unsigned char b : data) {
        crc ^= uint16_t(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? uint16_t(crc << 1 ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

uint8_t sum8(const std::string& data) {
    uint8_t s = 0;
    for (unsigned char b : data) s = uint8_t(s + b);
    return s;
}

std::string wireBlock(int number, const std::string& data, bool crc) {
    std::string w{data.size() == 1024 ? STXc : SOHc, char(number & 0xFF), char(~number & 0xFF)};
    w += data;
    uint16_t c = crc16(data);
    return crc ? w + char(c >> 8) + char(c & 0xFF) : w + char(sum8(data));
}

std::string ymodemHeader(const std::string& name, const std::string& fields, size_t size) {
    std::string d = name + '\0' + fields;
    d.resize(size, '\0');
    return d;
}

std::vector<std::string> splitPadded(const std::string& data, size_t size) {
    std::vector<std::string> out;
    for (size_t i = 0; i < data.size(); i += out.back().size()) {
        out.push_back(data.substr(i, data.size() - i <= 128 ? 128 : size));
        out.back().resize(data.size() - i <= 128 ? 128 : size, SUBc);
    }
    return out;
}

std::string expand(const std::string& spec) {
    std::string out;
    for (size_t i = 0; i < spec.size(); ++i) {
        bool random = spec[i] == '#', repeat = i + 1 < spec.size() && spec[i + 1] == '*';
        char c = spec[i] == '_' ? SUBc : spec[i] == '~' ? '\0' : spec[i];
        if (!random && !repeat) {
            out += c;
            continue;
        }
        size_t from = i + (random ? 1 : 2), digits = 0;
        size_t n = std::stoul(spec.substr(from), &digits);
        out += random ? stktest::randomBytes(n, uint32_t(n)) : std::string(n, c);
        i = from + digits - 1;
    }
    return out;
}

// --- SenderPeer ---------------------------------------------------------------

SenderPeer::SenderPeer(plat::ScriptedConsole& console) : con(console) {
    // Only bytes written in transfer mode (raw line) belong to the protocol.
    con.onWrite = [this](std::string_view s) {
        if (con.options() != 0) return;
        for (char c : s) onByte(c);
    };
}

SenderPeer::~SenderPeer() {
    con.onWrite = nullptr;
}

void SenderPeer::addBlock(int number, const std::string& data, bool header) {
    items_.push_back({Item::Block, number, data, header, 0});
}

void SenderPeer::addEot() {
    items_.push_back({Item::Eot, 0, "", false, 0});
}

void SenderPeer::addFile(const std::string& data, size_t blockSize) {
    int n = 1;
    for (const auto& b : splitPadded(data, blockSize)) addBlock(n++, b);
    addEot();
}

void SenderPeer::addYmodemEnd() {
    addBlock(0, std::string(128, '\0'), true);
}

void SenderPeer::sendItem(size_t index) {
    Item& it = items_[index];
    std::string wire =
        it.kind == Item::Eot ? std::string(1, EOTc) : wireBlock(it.number, it.data, crc_);
    if (tamper) tamper(index, it.attempts, wire);
    ++it.attempts;
    say(wire);
    sentCurrent_ = true;
}

void SenderPeer::onNameByte(char c) {
    const std::string& name = items_[next_].data;
    if (nameAt_ == 12) {  // the receiver's sum of the name and SUB: a wrong one is refused
        bool ok = uint8_t(c) == sum8(name + SUBc);
        say(ok ? std::string(1, ACKc) : "u");
        nameAt_ = -1;
        waitStart_ = true;
        if (ok) ++next_, ++acked_;
    } else if (c == ACKc && nameAt_ == modem7AbortAt) {
        modem7AbortAt = nameAt_ = -1;
        waitStart_ = true;
        say("u");
    } else if (c == ACKc) {
        say(std::string(1, nameAt_ < 11 ? name[size_t(nameAt_)] : SUBc));
        ++nameAt_;
    }
}

void SenderPeer::onByte(char c) {
    if (nameAt_ >= 0) return onNameByte(c);
    if (c == 'C' || c == 'G' || (c == NAKc && (waitStart_ || acked_ == 0))) {
        startLog += c == NAKc ? 'N' : c;
        if (done()) return;
        crc_ = c != NAKc;
        waitStart_ = false;
        const Item& it = items_[next_];
        if (it.kind == Item::Name) {
            nameAt_ = 1;
            say(std::string{ACKc, it.data[0]});
        } else if (it.kind == Item::BatchEnd) {
            say(std::string{ACKc, EOTc});
            ++next_;
        } else if (c == 'G' && !it.header) {
            // YMODEM-G: everything up to and including the EOT goes out at once.
            for (; items_[next_].kind != Item::Eot; ++next_) sendItem(next_);
            sendItem(next_);
        } else {
            sendItem(next_);
            if (c == 'G') ++next_, ++acked_, sentCurrent_ = false, waitStart_ = true;
        }
    } else if (c == NAKc && sentCurrent_ && !done()) {
        sendItem(next_);
    } else if (c == ACKc && sentCurrent_ && !done()) {
        const Item& it = items_[next_++];
        ++acked_;
        sentCurrent_ = false;
        eotAcked = eotAcked || it.kind == Item::Eot;
        if ((it.header && it.data[0] != '\0') || it.kind == Item::Eot)
            waitStart_ = true;
        else if (!done())
            sendItem(next_);
    }
}

// --- ReceiverPeer -------------------------------------------------------------

ReceiverPeer::ReceiverPeer(plat::ScriptedConsole& con) : con_(con) {
    con_.onWrite = [this](std::string_view s) {
        if (con_.options() == 0) onBytes(s);
    };
}

ReceiverPeer::~ReceiverPeer() {
    con_.onWrite = nullptr;
}

void ReceiverPeer::start(const std::string& chars, uint64_t afterUs) {
    crc = chars[0] == 'C' || chars[0] == 'G';
    startChars = chars;
    con_.sendAfter(afterUs, chars);
}

void ReceiverPeer::reply(const std::string& bytes) {
    if (!bytes.empty()) con_.sendAfter(1000, bytes);
}

std::string ReceiverPeer::types() const {
    std::string t;
    for (const auto& b : blocks) t += b.type == SOHc ? 'S' : 'X';
    return t;
}

void ReceiverPeer::onBytes(std::string_view s) {
    pending_.append(s);
    while (!pending_.empty()) {
        char b = pending_[0];
        if (m7_ == M7::Name) {
            pending_.erase(0, 1);
            if (m7name_.empty() && b == EOTc) {
                batchClosed = true;
                m7_ = M7::Idle;
                reply(std::string(1, ACKc));
            } else if (m7name_.size() < 11) {
                m7name_ += b;
                reply(std::string(1, ACKc));
            } else if (b == SUBc) {
                reply(std::string(1, char(sum8(m7name_ + SUBc) + (badSums-- > 0 ? 1 : 0))));
                m7_ = M7::Sum;
            }
            continue;
        }
        if (m7_ == M7::Sum) {
            pending_.erase(0, 1);
            m7_ = M7::Idle;
            if (b == ACKc) modem7Names.push_back(m7name_);
            reply(startChars);
            continue;
        }
        if (b == SOHc || b == STXc) {
            size_t size = b == STXc ? 1024 : 128;
            size_t need = 3 + size + (crc ? 2 : 1);
            if (pending_.size() < need) break;
            Block blk{b, uint8_t(pending_[1]), pending_.substr(3, size), false};
            bool numberOk = (uint8_t(pending_[1]) + uint8_t(pending_[2])) == 255;
            uint16_t check =
                crc ? uint16_t(uint8_t(pending_[3 + size]) << 8 | uint8_t(pending_[4 + size]))
                    : uint8_t(pending_[3 + size]);
            blk.checkOk = numberOk && check == (crc ? crc16(blk.data) : sum8(blk.data));
            pending_.erase(0, need);
            blocks.push_back(blk);
            std::string ans;
            bool header = ymodem && expectHeader_ && blk.number == 0;
            if (blocks.size() <= overrideCount) {
                ans = overrideAnswer;
            } else if (stream) {
                ans = header ? startChars : "";
            } else {
                ans = blk.checkOk ? std::string(1, ACKc) : std::string(1, NAKc);
                if (blk.checkOk && header && blk.data[0] != '\0') ans += startChars;
            }
            bool accepted = blk.checkOk && (stream || ans.find(ACKc) != std::string::npos);
            if (accepted && header) {
                batchClosed = blk.data[0] == '\0';
                if (!batchClosed) {
                    headerNames.push_back(blk.data.c_str());
                    files.emplace_back();
                    newFile_ = false;
                    lastNumber_ = 0;
                }
                expectHeader_ = false;
            } else if (accepted && (blk.number != lastNumber_ || newFile_)) {
                if (newFile_) files.emplace_back();
                newFile_ = false;
                files.back() += blk.data;
                lastNumber_ = blk.number;
            }
            reply(ans);
            continue;
        }
        pending_.erase(0, 1);
        if (b == EOTc) {
            ++eots_;
            eotTimes.push_back(plat::nowUs());
            if (ackEotAt > 0 && eots_ >= ackEotAt) {
                eots_ = 0;
                lastNumber_ = -1;
                reply(std::string(1, ACKc));
                // The next file's start comes a little later, past the sender's input flush.
                if (ymodem || modem7) con_.sendAfter(101000, startChars);
                expectHeader_ = newFile_ = true;
            } else if (ackEotAt > 0) {
                reply(std::string(1, NAKc));
            }
        } else if (b == ACKc && modem7 && m7_ == M7::Idle) {
            m7_ = M7::Name;
            m7name_.clear();
        }
    }
}

}  // namespace xmpeer

namespace loadtest {

XmodemSender::XmodemSender(plat::ScriptedConsole& con, std::string data, size_t blockSize)
    : SenderPeer(con), data_(std::move(data)), blockSize_(blockSize) {
    addFile(data_, blockSize_);
}

void XmodemSender::cancelAtStart() {
    tamper = [](size_t item, int, std::string& wire) {
        if (item == 0) wire = std::string(2, xmpeer::CANc);
    };
}

void XmodemSender::ymodemHeader(const std::string& name, long length) {
    items_.insert(items_.begin(),
                  {Item::Block, 0, xmpeer::ymodemHeader(name, std::to_string(length)), true, 0});
    addYmodemEnd();
}

std::string XmodemSender::padded() const {
    std::string out;
    for (const auto& b : xmpeer::splitPadded(data_, blockSize_)) out += b;
    return out;
}

}  // namespace loadtest
