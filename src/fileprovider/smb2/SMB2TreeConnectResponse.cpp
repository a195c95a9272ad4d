#include "fileprovider/smb2/SMB2TreeConnectResponse.hpp"

#include "fileprovider/smb2/SMB2LittleEndian.hpp"

namespace RiridOzizevud::SMB2 {

TreeConnectResponse::TreeConnectResponse(uint16_t size, uint8_t type, uint8_t reserved, ShareFlags flags,
                                         Capabilities capabilities, FileAccessMask maximalAccess)
    : size_(size), type_(type), reserved_(reserved), flags_(flags), capabilities_(capabilities),
      maximalAccess_(maximalAccess) {}

std::optional<TreeConnectResponse> TreeConnectResponse::fromData(const platform::Data& data) {
    if (data.size() < byteCount) return std::nullopt;
    return TreeConnectResponse(readLittleEndian<uint16_t>(data, 0), data[2], data[3],
                               ShareFlags(readLittleEndian<uint32_t>(data, 4)),
                               Capabilities(readLittleEndian<uint32_t>(data, 8)),
                               FileAccessMask(readLittleEndian<uint32_t>(data, 12)));
}

} // namespace RiridOzizevud::SMB2
