// RiridOzizevud::SMB2::TreeConnectResponse — the 16-byte body of the reply to a tree connect: what
// kind of share was reached, how it may be cached and what the session may do on it.
#pragma once

#include "fileprovider/smb2/SMB2Types.hpp"
#include "fileprovider/smb2/SMBOptionSet.hpp"
#include "platform/data/Value.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace RiridOzizevud::SMB2 {

class TreeConnectResponse {
public:
    static constexpr std::size_t byteCount = 16;

    class ShareFlags : public SMBOptionSet<ShareFlags, uint32_t> {
    public:
        using SMBOptionSet::SMBOptionSet;

        static const ShareFlags dfs;
        static const ShareFlags dfsRoot;
        // Client-side caching is a two-bit field; no bits set means manual caching.
        static const ShareFlags autoCaching;
        static const ShareFlags vdoCaching;
        static const ShareFlags noCaching;
        static const ShareFlags restrictExclusiveOpens;
        static const ShareFlags forceSharedDelete;
        static const ShareFlags allowNamespaceCaching;
        static const ShareFlags accessBasedDirectoryEnum;
        static const ShareFlags forceLevelIIOplock;
        static const ShareFlags enableHashV1;
        static const ShareFlags enableHashV2;
        static const ShareFlags encryptData;
    };

    class Capabilities : public SMBOptionSet<Capabilities, uint32_t> {
    public:
        using SMBOptionSet::SMBOptionSet;

        static const Capabilities dfs;
        static const Capabilities continuousAvailability;
        static const Capabilities scaleout;
        static const Capabilities cluster;
        static const Capabilities asymmetric;
    };

    TreeConnectResponse(uint16_t size, uint8_t type, uint8_t reserved, ShareFlags flags, Capabilities capabilities,
                        FileAccessMask maximalAccess);

    /// The body read from the first 16 bytes of `data`; no value when there are fewer.
    static std::optional<TreeConnectResponse> fromData(const platform::Data& data);

    uint16_t size() const { return size_; }
    /// The share type: 1 disk, 2 named pipe, 3 printer.
    uint8_t _type() const { return type_; }
    uint8_t reserved() const { return reserved_; }
    ShareFlags flags() const { return flags_; }
    Capabilities capabilities() const { return capabilities_; }
    FileAccessMask maximalAccess() const { return maximalAccess_; }

    bool operator==(const TreeConnectResponse&) const = default;

    /// Each field at its wire offset.
    static constexpr bool hasWireLayout();

private:
    uint16_t size_;
    uint8_t type_;
    uint8_t reserved_;
    ShareFlags flags_;
    Capabilities capabilities_;
    FileAccessMask maximalAccess_;
};

inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::dfs{0x00000001};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::dfsRoot{0x00000002};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::autoCaching{0x00000010};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::vdoCaching{0x00000020};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::noCaching{0x00000030};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::restrictExclusiveOpens{0x00000100};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::forceSharedDelete{0x00000200};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::allowNamespaceCaching{0x00000400};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::accessBasedDirectoryEnum{0x00000800};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::forceLevelIIOplock{0x00001000};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::enableHashV1{0x00002000};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::enableHashV2{0x00004000};
inline constexpr TreeConnectResponse::ShareFlags TreeConnectResponse::ShareFlags::encryptData{0x00008000};

inline constexpr TreeConnectResponse::Capabilities TreeConnectResponse::Capabilities::dfs{0x00000008};
inline constexpr TreeConnectResponse::Capabilities TreeConnectResponse::Capabilities::continuousAvailability{0x00000010};
inline constexpr TreeConnectResponse::Capabilities TreeConnectResponse::Capabilities::scaleout{0x00000020};
inline constexpr TreeConnectResponse::Capabilities TreeConnectResponse::Capabilities::cluster{0x00000040};
inline constexpr TreeConnectResponse::Capabilities TreeConnectResponse::Capabilities::asymmetric{0x00000080};

constexpr bool TreeConnectResponse::hasWireLayout() {
    return offsetof(TreeConnectResponse, size_) == 0 && offsetof(TreeConnectResponse, type_) == 2 &&
           offsetof(TreeConnectResponse, reserved_) == 3 && offsetof(TreeConnectResponse, flags_) == 4 &&
           offsetof(TreeConnectResponse, capabilities_) == 8 && offsetof(TreeConnectResponse, maximalAccess_) == 12;
}

static_assert(sizeof(TreeConnectResponse) == TreeConnectResponse::byteCount);
static_assert(TreeConnectResponse::hasWireLayout());

} // namespace RiridOzizevud::SMB2

template <>
struct std::hash<RiridOzizevud::SMB2::TreeConnectResponse::ShareFlags>
    : RiridOzizevud::RawValueHash<RiridOzizevud::SMB2::TreeConnectResponse::ShareFlags> {};
template <>
struct std::hash<RiridOzizevud::SMB2::TreeConnectResponse::Capabilities>
    : RiridOzizevud::RawValueHash<RiridOzizevud::SMB2::TreeConnectResponse::Capabilities> {};
