#include "sim/PacketParser.h"

namespace sorbel::sim {

namespace {

constexpr std::uint8_t start1 = 0x07;
constexpr std::uint8_t start2 = 0x0E;
constexpr std::uint8_t wake = 0x08;
constexpr std::size_t resyncZeros = 23;
constexpr std::uint8_t minimumLength = 5; // command and four address bytes

} // namespace

void PacketParser::reset() {
    state_ = State::idle;
    body_.clear();
    expected_ = 0;
    length_ = 0;
    zeroRun_ = 0;
    frameSevens_ = 0;
}

PacketParser::Event PacketParser::feed(std::uint8_t byte) {
    // The resynchronisation frame is watched for in every state, so that it also ends a
    // packet whose length byte promised more than ever came.
    if (byte == 0x00) {
        ++zeroRun_;
        frameSevens_ = 0;
    } else if (byte == start1 && frameSevens_ == 1) {
        reset();
        return Event::resync;
    } else if (byte == start1 && zeroRun_ >= resyncZeros) {
        frameSevens_ = 1;
        zeroRun_ = 0;
    } else {
        zeroRun_ = 0;
        frameSevens_ = 0;
    }

    switch (state_) {
    case State::idle:
        if (byte == wake) {
            return Event::wake;
        }
        if (byte == start1) {
            state_ = State::start2;
        }
        return Event::none;
    case State::start2:
        if (byte == start2) {
            state_ = State::length;
        } else if (byte != start1) {
            state_ = State::idle;
            if (byte == wake) {
                return Event::wake;
            }
        }
        return Event::none;
    case State::length:
        if (byte < minimumLength) {
            state_ = State::idle;
            return Event::none;
        }
        length_ = byte;
        expected_ = std::size_t{byte} + 1; // command, address, data, checksum
        body_.clear();
        state_ = State::body;
        return Event::none;
    case State::body:
        body_.push_back(byte);
        if (body_.size() < expected_) {
            return Event::none;
        }
        break;
    }

    unsigned sum = length_;
    for (std::uint8_t b : body_) {
        sum += b;
    }
    packet_.length = length_;
    packet_.command = body_[0];
    packet_.address = (std::uint32_t{body_[1]} << 24) | (std::uint32_t{body_[2]} << 16) |
                      (std::uint32_t{body_[3]} << 8) | std::uint32_t{body_[4]};
    packet_.data.assign(body_.begin() + 5, body_.end() - 1);
    packet_.checksumOk = (sum & 0xFF) == 0;
    state_ = State::idle;
    body_.clear();
    if (!packet_.checksumOk && (byte == 0x00 || frameSevens_ == 1)) {
        ++dropped_;
        return Event::none;
    }
    return Event::packet;
}

} // namespace sorbel::sim
