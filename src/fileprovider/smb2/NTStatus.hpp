// RiridOzizevud::NTStatus — the 32-bit status code of an SMB2 reply, with the English text of the
// codes a file server commonly answers. A plain 4-byte value, so that it can sit in the packet
// header; as an error it travels as NTStatusError.
#pragma once

#include "fileprovider/smb2/SMBOptionSet.hpp"
#include "platform/base/Error.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace RiridOzizevud {

class NTStatusError;

class NTStatus {
public:
    using RawValue = uint32_t;

    constexpr NTStatus() = default;
    constexpr explicit NTStatus(uint32_t rawValue) : raw_(rawValue) {}

    constexpr uint32_t rawValue() const { return raw_; }
    constexpr void setRawValue(uint32_t rawValue) { raw_ = rawValue; }

    /// The text of a known code, the empty string for any other. Codes are matched whole: no
    /// severity or facility bits are masked off.
    std::string description() const;

    /// The status as an error value: domain "RiridOzizevud.NTStatus", code the raw value.
    std::shared_ptr<const NTStatusError> error() const;

    friend constexpr bool operator==(NTStatus a, NTStatus b) { return a.raw_ == b.raw_; }

private:
    uint32_t raw_ = 0;
};

class NTStatusError : public platform::Error {
public:
    static constexpr const char* domainName = "RiridOzizevud.NTStatus";

    explicit NTStatusError(NTStatus status);
    NTStatus status() const { return status_; }

private:
    NTStatus status_;
};

} // namespace RiridOzizevud

template <>
struct std::hash<RiridOzizevud::NTStatus> : RiridOzizevud::RawValueHash<RiridOzizevud::NTStatus> {};
