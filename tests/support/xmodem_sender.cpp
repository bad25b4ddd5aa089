#include "support/xmodem_sender.h"

#include <numeric>

#include "support/pty_harness.h"

namespace xmpeer {

namespace {

uint16_t crc16(const std::string& data) {  // CRC-16/XMODEM, bit by bit
    uint16_t crc = 0;
    for (unsigned char b : data) {
        crc ^= uint16_t(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? uint16_t(crc << 1 ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

uint8_t sum8(const std::string& data) {
    return uint8_t(std::accumulate(data.begin(), data.end(), 0));  // signed chars: the same mod 256
}

}  // namespace

std::string wireBlock(int number, const std::string& data, bool crc) {
    std::string w =
        std::string{data.size() == 1024 ? STXc : SOHc, char(number & 0xFF), char(~number & 0xFF)} +
        data;
    uint16_t c = crc16(data);
    return crc ? w + char(c >> 8) + char(c & 0xFF) : w + char(sum8(data));
}

std::string ymodemHeader(const std::string& name, const std::string& fields, size_t size) {
    std::string d = name + '\0' + fields;
    return d.append(size - std::min(size, d.size()), '\0');
}

std::string expand(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        bool random = text[i] == '#', repeat = i + 1 < text.size() && text[i + 1] == '*';
        char c = text[i] == '_' ? SUBc : text[i] == '~' ? '\0' : text[i];
        size_t from = i + (random ? 1 : 2), digits = 0;
        size_t n = random || repeat ? std::stoul(text.substr(from), &digits) : 1;
        out += random ? stktest::randomBytes(n, uint32_t(n)) : std::string(n, c);
        i = random || repeat ? from + digits - 1 : i;
    }
    return out;
}

// --- SenderPeer ---------------------------------------------------------------

void SenderPeer::addFile(const std::string& data, size_t blockSize) {
    // A tail of at most 128 bytes travels in a 128-byte block, as common senders do.
    for (size_t i = 0, n = 1; i < data.size(); i += items_.back().data.size(), ++n) {
        size_t size = data.size() - i <= 128 ? 128 : blockSize;
        addBlock(int(n),
                 data.substr(i, size) + std::string(size - std::min(size, data.size() - i), SUBc));
    }
    addEot();
}

void SenderPeer::sendItem(size_t index) {
    Item& it = items_[index];
    std::string wire =
        it.kind == Item::Eot ? std::string(1, EOTc) : wireBlock(it.number, it.data, crc_);
    if (tamper) tamper(index, it.attempts, wire);
    ++it.attempts;
    hook_.say(wire);
    sentCurrent_ = true;
}

void SenderPeer::onNameByte(char c) {
    const std::string& name = items_[next_].data;
    if (nameAt_ == 12) {  // the receiver's sum of the name and SUB: a wrong one is refused
        bool ok = uint8_t(c) == sum8(name + SUBc);
        hook_.say(ok ? std::string(1, ACKc) : "u");
        nameAt_ = -1;
        waitStart_ = true;
        if (ok) ++next_, ++acked_;
    } else if (c == ACKc && nameAt_ == modem7AbortAt) {
        modem7AbortAt = nameAt_ = -1;
        waitStart_ = true;
        hook_.say("u");
    } else if (c == ACKc) {
        hook_.say(std::string(1, nameAt_ < 11 ? name[size_t(nameAt_)] : SUBc));
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
            hook_.say(std::string{ACKc, it.data[0]});
        } else if (it.kind == Item::BatchEnd) {
            hook_.say(std::string{ACKc, EOTc});
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
        if ((it.header && it.data[0] != '\0') || it.kind == Item::Eot)
            waitStart_ = true;
        else if (!done())
            sendItem(next_);
    }
}

// --- ReceiverPeer -------------------------------------------------------------

void ReceiverPeer::onBytes(std::string_view s) {
    pending_.append(s);
    while (!pending_.empty()) {
        char b = pending_[0];
        if (m7_ == M7::Idle && (b == SOHc || b == STXc)) {
            size_t size = b == STXc ? 1024 : 128;
            size_t need = 3 + size + (crc ? 2 : 1);
            if (pending_.size() < need) break;
            Block blk{b, uint8_t(pending_[1]), pending_.substr(3, size), false};
            // Number, its complement and the check all as a sender makes them.
            blk.checkOk = pending_.compare(0, need, wireBlock(blk.number, blk.data, crc)) == 0;
            pending_.erase(0, need);
            blocks.push_back(blk);
            bool header = ymodem && expectHeader_ && blk.number == 0;
            std::string ans = blocks.size() <= overrideCount  ? overrideAnswer
                              : stream                        ? (header ? startChars : "")
                              : !blk.checkOk                  ? std::string(1, NAKc)
                              : header && blk.data[0] != '\0' ? ACKc + startChars
                                                              : std::string(1, ACKc);
            bool accepted = blk.checkOk && (stream || ans.find(ACKc) != std::string::npos);
            if (accepted && header) {  // a file starts, or the empty header ends the batch
                batchClosed = blk.data[0] == '\0';
                if (!batchClosed) headerNames.push_back(blk.data.c_str()), files.emplace_back();
                expectHeader_ = false;
                lastNumber_ = 0;
            } else if (accepted && blk.number != lastNumber_) {
                if (lastNumber_ < 0) files.emplace_back();
                files.back() += blk.data;
                lastNumber_ = blk.number;
            }
            hook_.say(ans);
            continue;
        }
        pending_.erase(0, 1);
        if (m7_ == M7::Name) {
            if (m7name_.empty() && b == EOTc) {
                batchClosed = true;
                m7_ = M7::Idle;
                hook_.say(std::string(1, ACKc));
            } else if (m7name_.size() < 11) {
                m7name_ += b;
                hook_.say(std::string(1, ACKc));
            } else if (b == SUBc) {
                hook_.say(std::string(1, char(sum8(m7name_ + SUBc) + (badSums-- > 0 ? 1 : 0))));
                m7_ = M7::Sum;
            }
        } else if (m7_ == M7::Sum) {
            m7_ = M7::Idle;
            if (b == ACKc) modem7Names.push_back(m7name_);
            hook_.say(startChars);
        } else if (b == EOTc) {
            ++eots_;
            if (ackEotAt > 0 && eots_ >= ackEotAt) {
                eots_ = 0;
                lastNumber_ = -1;
                hook_.say(std::string(1, ACKc));
                // The next file's start comes a little later, past the sender's input flush.
                if (ymodem || modem7) con_.sendAfter(101000, startChars);
                expectHeader_ = true;
            } else if (ackEotAt > 0) {
                hook_.say(std::string(1, NAKc));
            }
        } else if (b == ACKc && modem7) {
            m7_ = M7::Name;
            m7name_.clear();
        }
    }
}

}  // namespace xmpeer
