// RiridOzizevud::SMB2::Header — the 64-byte synchronous packet header. The fields sit in wire order
// with natural alignment and no padding, so the value itself has the packet's layout; data() and
// fromData() give the little-endian wire bytes on any host.
#pragma once

#include "fileprovider/smb2/NTStatus.hpp"
#include "fileprovider/smb2/SMB2Types.hpp"
#include "platform/data/Value.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace RiridOzizevud::SMB2 {

class Header {
public:
    /// "\xFESMB" read as a little-endian number.
    static constexpr uint32_t protocolConst = 0x424D53FE;
    static constexpr std::size_t byteCount = 64;

    using Signature = std::array<uint64_t, 2>;

    Header(uint32_t protocolID, uint16_t size, uint16_t creditCharge, NTStatus status, Command command,
           uint16_t creditRequestResponse, Flags flags, uint32_t nextCommand, uint64_t messageId, uint32_t reserved,
           uint32_t treeId, uint64_t sessionId, Signature signature);

    /// A header read from the first 64 bytes of `data`; no value when there are fewer or the
    /// protocol identifier is not SMB2's.
    static std::optional<Header> fromData(const platform::Data& data);
    /// The 64 bytes on the wire.
    platform::Data data() const;

    uint32_t protocolID() const { return protocolID_; }
    uint16_t size() const { return size_; }
    uint16_t creditCharge() const { return creditCharge_; }
    NTStatus status() const { return status_; }
    Command command() const { return command_; }
    uint16_t creditRequestResponse() const { return creditRequestResponse_; }
    Flags flags() const { return flags_; }
    uint32_t nextCommand() const { return nextCommand_; }
    void setNextCommand(uint32_t nextCommand) { nextCommand_ = nextCommand; }
    uint64_t messageId() const { return messageId_; }
    uint32_t reserved() const { return reserved_; }
    uint32_t treeId() const { return treeId_; }
    uint64_t sessionId() const { return sessionId_; }
    Signature signature() const { return signature_; }

    bool operator==(const Header&) const = default;

    /// Each field at its wire offset.
    static constexpr bool hasWireLayout();

private:
    uint32_t protocolID_;
    uint16_t size_;
    uint16_t creditCharge_;
    NTStatus status_;
    Command command_;
    uint16_t creditRequestResponse_;
    Flags flags_;
    uint32_t nextCommand_;
    uint64_t messageId_;
    uint32_t reserved_;
    uint32_t treeId_;
    uint64_t sessionId_;
    Signature signature_;
};

constexpr bool Header::hasWireLayout() {
    return offsetof(Header, protocolID_) == 0 && offsetof(Header, size_) == 4 && offsetof(Header, creditCharge_) == 6 &&
           offsetof(Header, status_) == 8 && offsetof(Header, command_) == 12 &&
           offsetof(Header, creditRequestResponse_) == 14 && offsetof(Header, flags_) == 16 &&
           offsetof(Header, nextCommand_) == 20 && offsetof(Header, messageId_) == 24 &&
           offsetof(Header, reserved_) == 32 && offsetof(Header, treeId_) == 36 && offsetof(Header, sessionId_) == 40 &&
           offsetof(Header, signature_) == 48;
}

static_assert(sizeof(Header) == Header::byteCount);
static_assert(Header::hasWireLayout());

} // namespace RiridOzizevud::SMB2
