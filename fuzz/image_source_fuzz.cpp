// fuzz-sources: src/platform/media/ImageSource.cpp src/platform/media/MediaDecoder.cpp src/platform/media/Image.cpp src/platform/net/URL.cpp src/platform/text/CharacterSet.cpp src/platform/data/Value.cpp src/platform/data/Date.cpp src/platform/data/Base64.cpp
// Image bytes from outside (a file, an embedded cover): reading their properties and drawing a
// small thumbnail must never crash or grow without bound; colour-profile bytes likewise.
#include "platform/media/ImageSource.hpp"

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
