// platform::MediaAsset — the platform's media asset as the file-information code uses it: common
// metadata items (cover art included), tracks with their sizes, durations and data rates, a frame
// image at a time, and what an audio player would report (duration, sample rate). Read with
// FFmpeg from local files only.
#pragma once

#include "platform/media/Geometry.hpp"
#include "platform/media/Image.hpp"
#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class MediaDecoder;

/// A time as value / timescale seconds.
struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 0;
};

class MediaAsset {
public:
    // Common metadata keys, the platform's strings.
    static constexpr const char* commonKeyArtwork = "artwork";
    static constexpr const char* commonKeyLocation = "location";

    struct MetadataItem {
        std::optional<std::string> commonKey;
        Value value;                   // text, or a date where the tag holds a full date and time
        std::optional<Data> dataValue; // the artwork's encoded picture
    };

    enum class MediaType { video, audio };

    struct Track {
        Size naturalSize;            // video tracks; zero for audio
        MediaTime timeRangeDuration;
        double estimatedDataRate = 0; // bits per second
    };

    struct AudioPlayerInfo {
        double duration = 0;             // seconds
        std::optional<int64_t> sampleRate;
    };

    /// nullptr when the URL is no file URL or no audio or video container reads the file.
    static std::shared_ptr<MediaAsset> make(const URL& url);
    ~MediaAsset();

    const std::vector<MetadataItem>& commonMetadata() const { return metadata_; }
    MediaTime duration() const;
    std::vector<Track> tracks(MediaType type) const;
    /// The video frame shown at `time`, fitted within `maximumSize` (zero: own size), turned by the
    /// track's display rotation when asked. nullptr when there is no video or it cannot be decoded.
    std::shared_ptr<Image> copyImage(MediaTime time, Size maximumSize, bool appliesPreferredTrackTransform);
    /// What an audio player made for the file reports; nullopt when it has no decodable audio.
    std::optional<AudioPlayerInfo> audioPlayer() const;

private:
    MediaAsset() = default;
    std::unique_ptr<MediaDecoder> decoder_;
    std::vector<MetadataItem> metadata_;
};

} // namespace platform
