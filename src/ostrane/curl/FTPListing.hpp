#pragma once
// A LIST reply as listing-tree components: one line at a time through parse_ftp_list_line.
// Lines the parser rejects are left out, and so are names that are not UTF-8, that begin with "."
// (hidden entries, "." and ".."), or that could not be a name within a folder ("", "/" or NUL in it).
#include "ostrane/OstranePathComponent.hpp"

#include <memory>
#include <string_view>

namespace Ostrane {

/// The entries of `body`, in the server's order, each under `parent` (none when null). Lines end
/// with LF, CR LF or CR. Links of ls lines become symbolic links without a target, other entries
/// that may be directories become directories, the rest files of the parsed size.
OstranePathComponent::Contents ftpListingComponents(std::string_view body,
                                                    const std::shared_ptr<OstraneDirectory>& parent);

/// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool isWellFormedUTF8(std::string_view text);

}  // namespace Ostrane
