// Helpers the HTTP provider's files share: calling a handler that may be absent, an answer's
// body as text, and how much of an error page is kept.
#pragma once

#include "fileprovider/core/HTTPFileProvider.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace RiridOzizevud::httpprovider {

// Error bodies are read for the server's description only; a page larger than this is cut.
inline constexpr std::size_t kErrorBodyLimit = 1 << 20;

template <class F, class... A>
void call(const F& f, A&&... args) {
    if (f) f(std::forward<A>(args)...);
}

inline std::optional<std::string> bodyText(const std::optional<Data>& data) {
    if (!data) return std::nullopt;
    return std::string(data->begin(), data->end());
}

} // namespace RiridOzizevud::httpprovider
