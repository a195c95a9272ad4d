// platform::MediaDecoder — one opened media file or byte buffer, read through FFmpeg with our own
// I/O (no protocol or file-name pattern handling) and only the container kinds the caller allows.
// It decodes single pictures: an image, a video frame near a time, or an embedded cover.
#pragma once

#include "platform/media/Image.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

struct AVFormatContext;

namespace platform {

class MediaDecoder {
public:
    enum class Kind { image, audioVideo };

    /// Decoding refuses pictures above this many pixels (after a JPEG's reduced decoding).
    static constexpr int64_t maxPixels = int64_t{1} << 26;

    /// nullptr when the file cannot be opened or no allowed container reads it.
    static std::unique_ptr<MediaDecoder> open(const std::string& path, Kind kind);
    /// Reads `data`, which must outlive the decoder.
    static std::unique_ptr<MediaDecoder> open(std::span<const uint8_t> data, Kind kind);
    ~MediaDecoder();
    MediaDecoder(const MediaDecoder&) = delete;
    MediaDecoder& operator=(const MediaDecoder&) = delete;

    AVFormatContext* context() const { return format_; }
    /// Reads the streams' parameters (decoding a little where the container does not say).
    /// `cheap` asks decoders that can for reduced-size pictures.
    bool findStreamInfo(bool cheap = false);
    /// Index of the best stream of that FFmpeg media type, -1 when none.
    int bestStream(int mediaType) const;

    /// The first picture of stream `index` whose time reaches `at` (the stream's time base; the
    /// last one decoded when the stream ends first), or its first picture without `at`; scaled
    /// to fit within maxWidth × maxHeight (0: no limit), never enlarged, turned by the stream's
    /// display rotation when `applyRotation`. `lowres` asks a JPEG decoder for 1/2^lowres size.
    std::shared_ptr<Image> picture(int index, std::optional<int64_t> at, double maxWidth, double maxHeight,
                                   int lowres = 0, bool applyRotation = false);
    /// The cover picture a stream carries (an attached picture), as encoded bytes.
    std::optional<Data> attachedPicture(int index) const;

private:
    struct IO;
    MediaDecoder() = default;
    static std::unique_ptr<MediaDecoder> openWith(std::unique_ptr<IO> io, Kind kind);
    std::unique_ptr<IO> io_;
    AVFormatContext* format_ = nullptr;
};

/// An RGBA bitmap (rows `stride` bytes apart) scaled like MediaDecoder::picture.
std::shared_ptr<Image> scaledImage(const uint8_t* rgba, int width, int height, int stride, double maxWidth,
                                   double maxHeight);

/// Pixel size that fits w × h into maxWidth × maxHeight (0: no limit) keeping the aspect ratio,
/// never larger than w × h and at least 1 × 1; nullopt for non-positive or non-finite input.
std::optional<std::pair<int, int>> fittingSize(double w, double h, double maxWidth, double maxHeight);

} // namespace platform
