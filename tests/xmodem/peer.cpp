#include "peer.h"

#include "platform/platform.h"

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
    std::string w;
    w += data.size() == 1024 ? STXc : SOHc;
    w += char(number & 0xFF);
    w += char(~number & 0xFF);
    w += data;
    if (crc) {
        uint16_t c = crc16(data);
        w += char(c >> 8);
        w += char(c & 0xFF);
    } else {
        w += char(sum8(data));
    }
    return w;
}

std::string ymodemHeader(const std::string& name, const std::string& fields, size_t size) {
    std::string d = name;
    d += '\0';
    d += fields;
    d.resize(size, '\0');
    return d;
}

std::vector<std::string> splitPadded(const std::string& data, size_t size) {
    std::vector<std::string> out;
    for (size_t i = 0; i < data.size(); i += size) {
        std::string b = data.substr(i, size);
        b.resize(size, SUBc);
        out.push_back(b);
    }
    return out;
}

// --- SenderPeer ---------------------------------------------------------------

SenderPeer::SenderPeer(plat::ScriptedConsole& con) : con_(con) {
    // Only bytes written in transfer mode (raw line) belong to the protocol.
    con_.onWrite = [this](std::string_view s) {
        if (con_.options() != 0) return;
        for (char c : s) onByte(c);
    };
}

SenderPeer::~SenderPeer() {
    con_.onWrite = nullptr;
}

void SenderPeer::addBlock(int number, const std::string& data, bool header) {
    Item it;
    it.number = number;
    it.data = data;
    it.header = header;
    items_.push_back(it);
    attempts_.push_back(0);
}

void SenderPeer::addEot() {
    Item it;
    it.kind = Item::Eot;
    items_.push_back(it);
    attempts_.push_back(0);
}

void SenderPeer::addFile(const std::string& data, size_t blockSize) {
    int n = 1;
    for (const auto& b : splitPadded(data, blockSize)) addBlock(n++, b);
    addEot();
}

void SenderPeer::addYmodemFile(const std::string& name, const std::string& data, size_t blockSize) {
    addBlock(0, ymodemHeader(name, std::to_string(data.size())), true);
    addFile(data, blockSize);
}

void SenderPeer::addYmodemEnd() {
    addBlock(0, std::string(128, '\0'), true);
}

void SenderPeer::sendItem(size_t index) {
    const Item& it = items_[index];
    std::string wire =
        it.kind == Item::Eot ? std::string(1, EOTc) : wireBlock(it.number, it.data, crc_);
    if (tamper) tamper(index, attempts_[index], wire);
    ++attempts_[index];
    con_.sendAfter(delayUs, wire);
    sentCurrent_ = true;
}

void SenderPeer::streamFrom(size_t index) {
    // YMODEM-G: everything up to and including the EOT goes out at once.
    size_t i = index;
    for (; i < items_.size(); ++i) {
        sendItem(i);
        if (items_[i].kind == Item::Eot) break;
    }
    next_ = i < items_.size() ? i : items_.size() - 1;
}

void SenderPeer::onByte(char c) {
    written.emplace_back(plat::nowUs(), c);
    bool isStart = c == 'C' || c == 'G' || (c == NAKc && (waitStart_ || acked == 0));
    if (isStart) {
        ++starts;
        startLog += c == NAKc ? 'N' : c;
        if (ignoreStarts > 0) {
            --ignoreStarts;
            return;
        }
        if (done()) return;
        crc_ = c != NAKc;
        stream_ = c == 'G';
        waitStart_ = false;
        if (stream_) {
            if (items_[next_].header) {
                sendItem(next_);
                ++next_;
                ++acked;
                sentCurrent_ = false;
                waitStart_ = true;
            } else {
                streamFrom(next_);
            }
            return;
        }
        sendItem(next_);
        return;
    }
    if (c == NAKc) {
        if (sentCurrent_ && !done()) sendItem(next_);
        return;
    }
    if (c == ACKc) {
        if (!sentCurrent_ || done()) return;
        const Item& it = items_[next_];
        ++acked;
        ++next_;
        sentCurrent_ = false;
        bool emptyHeader = it.header && !it.data.empty() && it.data[0] == '\0';
        if ((it.header && !emptyHeader) || it.kind == Item::Eot) {
            waitStart_ = true;
            return;
        }
        if (!done()) sendItem(next_);
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
    con_.sendAfter(afterUs, chars);
}

void ReceiverPeer::reply(const std::string& bytes) {
    if (!bytes.empty()) con_.sendAfter(delayUs, bytes);
}

void ReceiverPeer::onBytes(std::string_view s) {
    raw.append(s);
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
                reply(std::string(1, char(sum8(m7name_ + SUBc))));
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
            Block blk;
            blk.type = b;
            blk.number = uint8_t(pending_[1]);
            blk.data = pending_.substr(3, size);
            bool numberOk = (uint8_t(pending_[1]) + uint8_t(pending_[2])) == 255;
            if (crc) {
                uint16_t c =
                    uint16_t(uint8_t(pending_[3 + size]) << 8 | uint8_t(pending_[4 + size]));
                blk.checkOk = numberOk && c == crc16(blk.data);
            } else {
                blk.checkOk = numberOk && uint8_t(pending_[3 + size]) == sum8(blk.data);
            }
            pending_.erase(0, need);
            blocks.push_back(blk);
            std::string ans;
            bool header = ymodem && expectHeader_ && blk.number == 0;
            if (answer) {
                ans = answer(blk, blocks.size() - 1);
            } else if (stream) {
                ans = header ? startChars : "";
            } else {
                ans = blk.checkOk ? std::string(1, ACKc) : std::string(1, NAKc);
                if (blk.checkOk && header && blk.data[0] != '\0') ans += startChars;
            }
            bool accepted = blk.checkOk && (stream || ans.find(ACKc) != std::string::npos);
            if (accepted) {
                if (header) {
                    if (blk.data[0] == '\0') {
                        batchClosed = true;
                    } else {
                        headerNames.push_back(blk.data.c_str());
                        files.emplace_back();
                        newFile_ = false;
                        lastNumber_ = 0;
                    }
                    expectHeader_ = false;
                } else if (blk.number != lastNumber_ || newFile_) {
                    if (newFile_) files.emplace_back();
                    newFile_ = false;
                    files.back() += blk.data;
                    lastNumber_ = blk.number;
                }
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
                if (ymodem || modem7) con_.sendAfter(delayUs + 100000, startChars);
                expectHeader_ = true;
                newFile_ = true;
            } else if (ackEotAt > 0) {
                reply(std::string(1, NAKc));
            }
        } else if (b == ACKc && modem7 && m7_ == M7::Idle) {
            m7_ = M7::Name;
            m7name_.clear();
        }
    }
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    return s;
}

}  // namespace xmpeer
