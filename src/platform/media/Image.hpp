// platform::Image — the platform's image object as the thumbnail code hands it out: one bitmap of
// 8-bit RGBA samples (not premultiplied, rows top to bottom, no padding) shown at its pixel size.
#pragma once

#include "platform/media/Geometry.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

class Image {
public:
    /// A bitmap of width × height pixels; nullptr when either is not positive or `rgba` is not
    /// width × height × 4 bytes long.
    static std::shared_ptr<Image> make(int width, int height, std::vector<uint8_t> rgba);

    /// Display size in points: the bitmap's own pixel size.
    Size size() const { return {static_cast<double>(width_), static_cast<double>(height_)}; }
    int pixelsWide() const { return width_; }
    int pixelsHigh() const { return height_; }
    int bytesPerRow() const { return width_ * 4; }
    const std::vector<uint8_t>& bitmapData() const { return rgba_; }
    /// The RGBA sample of one pixel; {0,0,0,0} outside the bitmap.
    std::array<uint8_t, 4> pixel(int x, int y) const;

private:
    Image(int width, int height, std::vector<uint8_t> rgba) : width_(width), height_(height), rgba_(std::move(rgba)) {}
    int width_;
    int height_;
    std::vector<uint8_t> rgba_;
};

} // namespace platform
