#include "platform/media/Image.hpp"

namespace platform {

std::shared_ptr<Image> Image::make(int width, int height, std::vector<uint8_t> rgba) {
    if (width <= 0 || height <= 0) return nullptr;
    if (rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) return nullptr;
    return std::shared_ptr<Image>(new Image(width, height, std::move(rgba)));
}

std::array<uint8_t, 4> Image::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return {0, 0, 0, 0};
    const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)) * 4;
    return {rgba_[at], rgba_[at + 1], rgba_[at + 2], rgba_[at + 3]};
}

} // namespace platform
