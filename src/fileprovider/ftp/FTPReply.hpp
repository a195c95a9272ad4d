// The control connection's byte stream cut into whole replies (RFC 959: one line "ddd text", or
// "ddd-" ... up to a line "ddd text" with the same code). A pure function of its text, so it can be
// fuzzed on its own.
#pragma once

#include <string>
#include <vector>

namespace RiridOzizevud {

/// Takes every complete reply off the front of `buffer` and leaves the rest, which is an unfinished
/// reply, in it. A line that does not start with a code stands as a reply of its own; blank lines
/// between replies are dropped. Each reply keeps its line ends.
std::vector<std::string> takeFTPReplies(std::string& buffer);

} // namespace RiridOzizevud
