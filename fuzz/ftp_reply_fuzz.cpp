// fuzz-sources: src/fileprovider/ftp/FTPReply.cpp
// Any bytes as what the control connection brings: the replies taken off do not depend on where
// the reads happened to cut the bytes, each ends with a line end, and what is left is the input's
// unfinished tail.
#include "fileprovider/ftp/FTPReply.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t cut = input.empty() ? 0 : data[0] % (input.size() + 1);

    std::string whole = input;
    const auto atOnce = RiridOzizevud::takeFTPReplies(whole);

    std::string pieces = input.substr(0, cut);
    auto inTwo = RiridOzizevud::takeFTPReplies(pieces);
    pieces += input.substr(cut);
    for (auto& reply : RiridOzizevud::takeFTPReplies(pieces)) inTwo.push_back(reply);

    if (atOnce != inTwo || whole != pieces) std::abort();
    size_t taken = 0;
    for (const auto& reply : atOnce) {
        if (reply.empty() || reply.back() != '\n') std::abort();
        taken += reply.size();
    }
    if (taken + whole.size() > input.size()) std::abort();
    if (input.compare(input.size() - whole.size(), whole.size(), whole) != 0) std::abort();
    return 0;
}
