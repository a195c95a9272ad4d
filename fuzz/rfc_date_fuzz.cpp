// fuzz-sources: src/fileprovider/core/RFCStandards.cpp
// Any text as a date: reading never fails badly, and a date read with a four-digit-year format
// is written back to text that reads as the same second.
#include "fileprovider/core/RFCStandards.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace RiridOzizevud;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto d = dateFromRFCString(text); d && !std::isfinite(d->timeIntervalSince1970())) __builtin_trap();
    for (auto standard : RFCStandardsAllCases) {
        auto d = rfcDate(text, standard);
        if (!d) continue;
        auto written = rfcString(*d, standard);
        if (!written) continue;
        if (standard == RFCStandards::rfc822 || standard == RFCStandards::rfc850) continue;  // two-digit years
        auto back = rfcDate(*written, standard);
        if (!back) __builtin_trap();
        if (std::floor(back->timeIntervalSince1970()) != std::floor(d->timeIntervalSince1970())) __builtin_trap();
    }
    return 0;
}
