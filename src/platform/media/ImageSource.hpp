// platform::ImageSource — the platform's image source: a still image read from a file or from
// bytes, its properties, and a thumbnail of its first image. HEIF files are read with libheif,
// the other image kinds (JPEG, PNG, GIF, BMP, TIFF, ICO, WebP) with FFmpeg; Exif, TIFF and GPS
// fields and the colour profile come from Exiv2.
//
// Properties use the platform's keys: "PixelWidth", "PixelHeight", "DPIWidth", "ColorModel",
// "Depth", "ProfileName", and the sub-dictionaries "{TIFF}" (Make, Model, Artist, Copyright,
// DateTime), "{Exif}" (LensModel, FocalLength, WhiteBalance, FNumber, ExposureProgram,
// ExposureTime, ISOSpeedRatings) and "{GPS}" (Latitude, Longitude, Altitude, AreaInformation).
#pragma once

#include "platform/media/Image.hpp"
#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class ImageSource {
public:
    /// CGImageSourceCreateWithURL: nullptr for a URL that is no file URL, or a file that no image
    /// reader takes.
    static std::shared_ptr<ImageSource> make(const URL& url);
    /// CGImageSourceCreateWithData: nullptr when no image reader takes the bytes.
    static std::shared_ptr<ImageSource> make(Data data);

    /// Properties of the first image; nullopt when they cannot be read.
    std::optional<ValueDictionary> properties() const;
    /// A thumbnail of the first image whose longer side is at most `maxPixelSize` (never enlarged;
    /// without a size, the image at its own size). nullptr when it cannot be decoded.
    std::shared_ptr<Image> createThumbnail(std::optional<int64_t> maxPixelSize) const;

private:
    ImageSource() = default;
    std::string path_;  // file source
    Data data_;         // byte source
    bool heif_ = false;
};

/// The description of an ICC colour profile (its "desc" tag, version 2 text or version 4
/// multi-language form, the first record); nullopt when the bytes hold none.
std::optional<std::string> iccProfileDescription(std::string_view profile);

} // namespace platform
