#include "fileprovider/smb2/SMB2Header.hpp"

#include "fileprovider/smb2/SMB2LittleEndian.hpp"

namespace RiridOzizevud::SMB2 {

Header::Header(uint32_t protocolID, uint16_t size, uint16_t creditCharge, NTStatus status, Command command,
               uint16_t creditRequestResponse, Flags flags, uint32_t nextCommand, uint64_t messageId, uint32_t reserved,
               uint32_t treeId, uint64_t sessionId, Signature signature)
    : protocolID_(protocolID), size_(size), creditCharge_(creditCharge), status_(status), command_(command),
      creditRequestResponse_(creditRequestResponse), flags_(flags), nextCommand_(nextCommand), messageId_(messageId),
      reserved_(reserved), treeId_(treeId), sessionId_(sessionId), signature_(signature) {}

std::optional<Header> Header::fromData(const platform::Data& data) {
    if (data.size() < byteCount || readLittleEndian<uint32_t>(data, 0) != protocolConst) return std::nullopt;
    return Header(readLittleEndian<uint32_t>(data, 0), readLittleEndian<uint16_t>(data, 4),
                  readLittleEndian<uint16_t>(data, 6), NTStatus(readLittleEndian<uint32_t>(data, 8)),
                  Command(readLittleEndian<uint16_t>(data, 12)), readLittleEndian<uint16_t>(data, 14),
                  Flags(readLittleEndian<uint32_t>(data, 16)), readLittleEndian<uint32_t>(data, 20),
                  readLittleEndian<uint64_t>(data, 24), readLittleEndian<uint32_t>(data, 32),
                  readLittleEndian<uint32_t>(data, 36), readLittleEndian<uint64_t>(data, 40),
                  Signature{readLittleEndian<uint64_t>(data, 48), readLittleEndian<uint64_t>(data, 56)});
}

platform::Data Header::data() const {
    platform::Data out;
    out.reserve(byteCount);
    appendLittleEndian(out, protocolID_);
    appendLittleEndian(out, size_);
    appendLittleEndian(out, creditCharge_);
    appendLittleEndian(out, status_.rawValue());
    appendLittleEndian(out, command_.rawValue());
    appendLittleEndian(out, creditRequestResponse_);
    appendLittleEndian(out, flags_.rawValue());
    appendLittleEndian(out, nextCommand_);
    appendLittleEndian(out, messageId_);
    appendLittleEndian(out, reserved_);
    appendLittleEndian(out, treeId_);
    appendLittleEndian(out, sessionId_);
    appendLittleEndian(out, signature_[0]);
    appendLittleEndian(out, signature_[1]);
    return out;
}

} // namespace RiridOzizevud::SMB2
