#include "platform/media/MediaAsset.hpp"

#include "platform/media/MediaDecoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cctype>
#include <cstdio>
#include <ctime>

namespace platform {

namespace {

// Container tag names (lower-cased) under the common key the platform files them.
const char* commonKeyOf(std::string tag) {
    for (auto& c : tag) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const std::pair<const char*, const char*> table[] = {
        {"title", "title"},         {"artist", "artist"},         {"album", "albumName"},
        {"composer", "creator"},    {"author", "author"},         {"copyright", "copyrights"},
        {"comment", "description"}, {"description", "description"}, {"genre", "type"},
        {"date", "creationDate"},   {"creation_time", "creationDate"}, {"publisher", "publisher"},
        {"encoder", "software"},    {"location", "location"},     {"com.apple.quicktime.location.iso6709", "location"},
        {"language", "language"},   {"make", "make"},             {"model", "model"},
    };
    for (const auto& [name, key] : table)
        if (tag == name) return key;
    return nullptr;
}

// "YYYY-MM-DDTHH:MM:SS" (fraction and "Z" allowed) as a UTC date; plain years stay text.
std::optional<Date> isoDate(const std::string& s) {
    int y, mo, d, h, mi, sec;
    char tail = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &tail) < 6) return std::nullopt;
    return Date::fromCalendar(y, mo, d, h, mi, sec, false);
}

bool isPicture(const AVStream* st) { return st->disposition & AV_DISPOSITION_ATTACHED_PIC; }

} // namespace

std::shared_ptr<MediaAsset> MediaAsset::make(const URL& url) {
    if (!url.isFileURL()) return nullptr;
    auto decoder = MediaDecoder::open(url.path(), MediaDecoder::Kind::audioVideo);
    if (!decoder) return nullptr;
    decoder->findStreamInfo();
    std::shared_ptr<MediaAsset> asset(new MediaAsset());
    const AVFormatContext* f = decoder->context();
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(f->metadata, "", e, AV_DICT_IGNORE_SUFFIX))) {
        const char* key = commonKeyOf(e->key);
        MetadataItem item;
        if (key) item.commonKey = key;
        const std::string text = e->value ? e->value : "";
        if (key && std::string(key) == "creationDate") {
            if (auto date = isoDate(text)) item.value = *date;
            else item.value = text;
        } else {
            item.value = text;
        }
        asset->metadata_.push_back(std::move(item));
    }
    for (unsigned i = 0; i < f->nb_streams; ++i) {
        if (auto picture = decoder->attachedPicture(static_cast<int>(i))) {
            MetadataItem item;
            item.commonKey = commonKeyArtwork;
            item.value = *picture;
            item.dataValue = std::move(*picture);
            asset->metadata_.push_back(std::move(item));
        }
    }
    asset->decoder_ = std::move(decoder);
    return asset;
}

MediaAsset::~MediaAsset() = default;

MediaTime MediaAsset::duration() const {
    const int64_t d = decoder_->context()->duration;
    if (d == AV_NOPTS_VALUE || d < 0) return {0, AV_TIME_BASE};
    return {d, AV_TIME_BASE};
}

std::vector<MediaAsset::Track> MediaAsset::tracks(MediaType type) const {
    std::vector<Track> out;
    const AVFormatContext* f = decoder_->context();
    const AVMediaType wanted = type == MediaType::video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    for (unsigned i = 0; i < f->nb_streams; ++i) {
        const AVStream* st = f->streams[i];
        if (st->codecpar->codec_type != wanted || isPicture(st)) continue;
        Track t;
        if (type == MediaType::video) t.naturalSize = {double(st->codecpar->width), double(st->codecpar->height)};
        if (st->duration != AV_NOPTS_VALUE && st->duration >= 0 && st->time_base.num > 0 && st->time_base.den > 0) {
            // value/timescale seconds with the stream's own clock; time bases of 1/den only.
            t.timeRangeDuration = {av_rescale_q(st->duration, st->time_base, AVRational{1, st->time_base.den}),
                                   st->time_base.den};
        } else {
            t.timeRangeDuration = duration();
        }
        t.estimatedDataRate = st->codecpar->bit_rate > 0 ? static_cast<double>(st->codecpar->bit_rate) : 0;
        out.push_back(t);
    }
    return out;
}

std::shared_ptr<Image> MediaAsset::copyImage(MediaTime time, Size maximumSize, bool appliesPreferredTrackTransform) {
    AVFormatContext* f = decoder_->context();
    int index = -1;
    for (unsigned i = 0; i < f->nb_streams && index < 0; ++i)
        if (f->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !isPicture(f->streams[i])) index = static_cast<int>(i);
    if (index < 0 || time.timescale <= 0 || time.value < 0) return nullptr;
    const AVStream* st = f->streams[index];
    int64_t at = av_rescale_q(time.value, AVRational{1, time.timescale}, st->time_base);
    if (st->start_time != AV_NOPTS_VALUE) at += st->start_time;
    return decoder_->picture(index, at, maximumSize.width, maximumSize.height, 0, appliesPreferredTrackTransform);
}

std::optional<MediaAsset::AudioPlayerInfo> MediaAsset::audioPlayer() const {
    const int index = decoder_->bestStream(AVMEDIA_TYPE_AUDIO);
    if (index < 0) return std::nullopt;
    const AVCodecParameters* par = decoder_->context()->streams[index]->codecpar;
    if (!avcodec_find_decoder(par->codec_id)) return std::nullopt;
    AudioPlayerInfo info;
    const MediaTime d = duration();
    info.duration = d.timescale > 0 ? static_cast<double>(d.value) / d.timescale : 0;
    if (par->sample_rate > 0) info.sampleRate = par->sample_rate;
    return info;
}

} // namespace platform
