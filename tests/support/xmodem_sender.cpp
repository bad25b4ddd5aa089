#include "support/xmodem_sender.h"

#include <cstdio>

namespace loadtest {

namespace {
constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr char SUB = 0x1A;
// The receive command's last line before the line goes into transfer mode.
constexpr std::string_view kAnnounced = "before transfer starts.\n\r";
}  // namespace

uint16_t xmodemCrc(const uint8_t* data, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= uint16_t(data[i]) << 8;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

XmodemSender::XmodemSender(plat::ScriptedConsole& con, std::string data, size_t blockSize)
    : con_(con), data_(std::move(data)) {
    size_t pos = 0;
    while (pos < data_.size()) {
        size_t left = data_.size() - pos;
        size_t size = left <= 128 ? 128 : blockSize;
        blocks_.emplace_back(pos, size);
        pos += size;
    }
    state_ = State::WaitStart;
    con_.onWrite = [this](std::string_view w) { seen(w); };
}

XmodemSender::~XmodemSender() {
    con_.onWrite = nullptr;
}

std::string XmodemSender::padded() const {
    std::string out;
    for (auto [offset, size] : blocks_) {
        std::string block = data_.substr(offset, size);
        block.resize(size, SUB);
        out += block;
    }
    return out;
}

void XmodemSender::seen(std::string_view written) {
    if (announced_.size() < kAnnounced.size() || announced_.find(kAnnounced) == std::string::npos) {
        announced_ += written;
        return;  // text before the transfer (it may contain 'C')
    }
    for (char c : written) handle(uint8_t(c));
}

void XmodemSender::handle(uint8_t c) {
    if (c == CAN && state_ != State::Done) {
        state_ = State::Done;  // the receiver gave up
        return;
    }
    switch (state_) {
        case State::WaitStart:
            if (c != 'C') return;
            if (cancel_) {
                con_.send(std::string{char(CAN), char(CAN)});
                state_ = State::Done;
            } else if (header_) {
                header_ = false;
                batch_ = true;
                sendHeader();
                state_ = State::WaitHeaderAck;
            } else {
                next_ = 0;
                state_ = State::Sending;
                sendBlock(next_);
            }
            return;
        case State::WaitHeaderAck:
            if (c == ACK) state_ = State::WaitStart;  // the receiver asks again with 'C'
            if (c == NAK) sendHeader();
            return;
        case State::Sending:
            if (c == ACK) {
                ++next_;
                if (next_ < blocks_.size()) {
                    sendBlock(next_);
                } else {
                    con_.send(std::string(1, char(EOT)));
                    state_ = State::WaitEotAck;
                }
            } else if (c == NAK) {
                ++naks_;
                sendBlock(next_);
            }
            return;
        case State::WaitEotAck:
            if (c == ACK) {
                eotAcked_ = true;
                state_ = batch_ ? State::WaitBatchEnd : State::Done;
            } else if (c == NAK) {
                con_.send(std::string(1, char(EOT)));
            }
            return;
        case State::WaitBatchEnd:
            if (c == 'C') sendHeader(true);
            if (c == ACK) state_ = State::Done;
            return;
        default:
            return;
    }
}

void XmodemSender::sendFrame(uint8_t number, const std::string& payload) {
    std::string frame;
    frame += char(payload.size() == 1024 ? STX : SOH);
    frame += char(number);
    frame += char(255 - number);
    frame += payload;
    uint16_t crc = xmodemCrc(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    frame += char(crc >> 8);
    frame += char(crc & 0xFF);
    con_.send(frame);
}

void XmodemSender::sendBlock(size_t index) {
    auto [offset, size] = blocks_[index];
    std::string payload = data_.substr(offset, size);
    payload.resize(size, SUB);
    sendFrame(uint8_t(index + 1), payload);
}

void XmodemSender::sendHeader(bool empty) {
    std::string payload;
    if (!empty) {
        payload = headerName_;
        payload += '\0';
        payload += std::to_string(headerLength_);
    }
    payload.resize(128, '\0');
    sendFrame(0, payload);
}

}  // namespace loadtest
