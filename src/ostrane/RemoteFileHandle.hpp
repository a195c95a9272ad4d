#pragma once
// Random access to a remote file for a player.
#include "platform/net/URL.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace Ostrane {

class RemoteFileHandle {
public:
    virtual ~RemoteFileHandle() = default;

    virtual std::int64_t size() const = 0;
    virtual std::int64_t offset() const = 0;
    virtual const platform::URL& url() const = 0;
    virtual bool open() = 0;
    virtual std::optional<std::vector<std::uint8_t>> read(std::int64_t offset, std::ptrdiff_t size) = 0;
    virtual void close() = 0;
};

}  // namespace Ostrane
