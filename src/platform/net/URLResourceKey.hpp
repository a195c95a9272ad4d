// platform::URLResourceKey — the platform's resource keys (the strings it stores values under)
// and URLFileResourceType. Resource dictionaries are ValueDictionary keyed by these strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct URLResourceKey {
    static constexpr const char* nameKey = "NSURLNameKey";
    static constexpr const char* pathKey = "NSURLPathKey";
    static constexpr const char* fileSizeKey = "NSURLFileSizeKey";
    static constexpr const char* totalFileSizeKey = "NSURLTotalFileSizeKey";
    static constexpr const char* fileAllocatedSizeKey = "NSURLFileAllocatedSizeKey";
    static constexpr const char* creationDateKey = "NSURLCreationDateKey";
    static constexpr const char* contentModificationDateKey = "NSURLContentModificationDateKey";
    static constexpr const char* contentAccessDateKey = "NSURLContentAccessDateKey";
    static constexpr const char* fileResourceTypeKey = "NSURLFileResourceTypeKey";
    static constexpr const char* isDirectoryKey = "NSURLIsDirectoryKey";
    static constexpr const char* isRegularFileKey = "NSURLIsRegularFileKey";
    static constexpr const char* isSymbolicLinkKey = "NSURLIsSymbolicLinkKey";
    static constexpr const char* isHiddenKey = "NSURLIsHiddenKey";
    static constexpr const char* isReadableKey = "NSURLIsReadableKey";
    static constexpr const char* isWritableKey = "NSURLIsWritableKey";
    static constexpr const char* isExecutableKey = "NSURLIsExecutableKey";
    static constexpr const char* typeIdentifierKey = "NSURLTypeIdentifierKey";
    static constexpr const char* volumeURLKey = "NSURLVolumeURLKey";
    static constexpr const char* volumeNameKey = "NSURLVolumeNameKey";
    static constexpr const char* volumeUUIDStringKey = "NSURLVolumeUUIDStringKey";
    static constexpr const char* volumeTotalCapacityKey = "NSURLVolumeTotalCapacityKey";
    static constexpr const char* volumeAvailableCapacityKey = "NSURLVolumeAvailableCapacityKey";
    static constexpr const char* volumeCreationDateKey = "NSURLVolumeCreationDateKey";
    static constexpr const char* volumeIsReadOnlyKey = "NSURLVolumeIsReadOnlyKey";
    static constexpr const char* volumeIsEncryptedKey = "NSURLVolumeIsEncryptedKey";
};

/// The platform's URLFileResourceType; stored in resource dictionaries as its raw string.
enum class URLFileResourceType : std::uint8_t {
    namedPipe, characterSpecial, directory, blockSpecial, regular, symbolicLink, socket, unknown
};

inline std::string rawValue(URLFileResourceType t) {
    switch (t) {
    case URLFileResourceType::namedPipe: return "NSFileTypeNamedPipe";
    case URLFileResourceType::characterSpecial: return "NSFileTypeCharacterSpecial";
    case URLFileResourceType::directory: return "NSFileTypeDirectory";
    case URLFileResourceType::blockSpecial: return "NSFileTypeBlockSpecial";
    case URLFileResourceType::regular: return "NSFileTypeRegular";
    case URLFileResourceType::symbolicLink: return "NSFileTypeSymbolicLink";
    case URLFileResourceType::socket: return "NSFileTypeSocket";
    case URLFileResourceType::unknown: return "NSFileTypeUnknown";
    }
    return "NSFileTypeUnknown";
}

inline std::optional<URLFileResourceType> urlFileResourceTypeFromRawValue(std::string_view raw) {
    for (auto t : {URLFileResourceType::namedPipe, URLFileResourceType::characterSpecial,
                   URLFileResourceType::directory, URLFileResourceType::blockSpecial,
                   URLFileResourceType::regular, URLFileResourceType::symbolicLink,
                   URLFileResourceType::socket, URLFileResourceType::unknown})
        if (rawValue(t) == raw)
            return t;
    return std::nullopt;
}

} // namespace platform

namespace platform {

// The platform's metadata-query attribute names.
inline constexpr const char* NSMetadataItemURLKey = "kMDItemURL";
inline constexpr const char* NSMetadataItemFSNameKey = "kMDItemFSName";
inline constexpr const char* NSMetadataItemDisplayNameKey = "kMDItemDisplayName";
inline constexpr const char* NSMetadataItemPathKey = "kMDItemPath";
inline constexpr const char* NSMetadataItemFSSizeKey = "kMDItemFSSize";
inline constexpr const char* NSMetadataItemFSCreationDateKey = "kMDItemFSCreationDate";
inline constexpr const char* NSMetadataItemFSContentChangeDateKey = "kMDItemFSContentChangeDate";
inline constexpr const char* NSMetadataItemContentTypeKey = "kMDItemContentType";

} // namespace platform
