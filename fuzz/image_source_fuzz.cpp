// fuzz-sources: src/platform/ImageSource.cpp src/platform/MediaDecoder.cpp src/platform/Image.cpp src/platform/URL.cpp src/platform/CharacterSet.cpp src/platform/Value.cpp src/platform/Date.cpp src/platform/Base64.cpp
// Image bytes from outside (a file, an embedded cover): reading their properties and drawing a
// small thumbnail must never crash or grow without bound; colour-profile bytes likewise.
#include "platform/ImageSource.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)platform::iccProfileDescription(std::string_view(reinterpret_cast<const char*>(data), size));
    auto source = platform::ImageSource::make(platform::Data(data, data + size));
    if (!source) return 0;
    (void)source->properties();
    if (auto image = source->createThumbnail(64)) {
        if (image->pixelsWide() > 64 || image->pixelsHigh() > 64) std::abort();
        if (image->bitmapData().size() != static_cast<std::size_t>(image->bytesPerRow()) * image->pixelsHigh()) std::abort();
    }
    return 0;
}
