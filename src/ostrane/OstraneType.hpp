#pragma once
// The kinds of server a record can describe.
#include <nlohmann/json_fwd.hpp>

#include <array>
#include <optional>
#include <string_view>

namespace Ostrane {

enum class OstraneType { ftp, sftp, smb, webdav };

/// In the order of allCases.
inline constexpr std::array<OstraneType, 4> OstraneTypeAllCases{OstraneType::ftp, OstraneType::sftp,
                                                               OstraneType::smb, OstraneType::webdav};

/// "FTP", "SFTP", "SMB", "WebDAV".
std::string_view rawValue(OstraneType type);

template <class E>
std::optional<E> fromRawValue(std::string_view raw);

/// Exact, case-sensitive match of a raw value; anything else gives no value.
template <>
std::optional<OstraneType> fromRawValue<OstraneType>(std::string_view raw);

/// Coded as its raw string alone; decoding any other value throws nlohmann::json::type_error.
void to_json(nlohmann::json& json, OstraneType type);
void from_json(const nlohmann::json& json, OstraneType& type);

}  // namespace Ostrane
