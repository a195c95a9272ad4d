#include "platform/media/MediaDecoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Containers probed by content. The file-name based image2 reader is left out on purpose: it
// reads numbered sibling files when a name holds a pattern.
constexpr const char* imageFormats = "png_pipe,jpeg_pipe,bmp_pipe,gif,gif_pipe,tiff_pipe,ico,webp_pipe";
constexpr const char* audioVideoFormats =
    "mov,mp4,m4a,3gp,3g2,mj2,mp3,aac,flac,wav,aiff,au,caf,amr,ac3,eac3,avi,mpeg,mpegvideo,mpegts,aa,ogg,matroska,webm";

// A decode reads at most this many packets, so a stream of undecodable packets ends.
constexpr int maxPackets = 20000;

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

std::vector<uint8_t> rotated(const std::vector<uint8_t>& rgba, int w, int h, int clockwise) {
    std::vector<uint8_t> out(rgba.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int nx = x, ny = y, nw = w;
            if (clockwise == 90) { nx = h - 1 - y; ny = x; nw = h; }
            else if (clockwise == 180) { nx = w - 1 - x; ny = h - 1 - y; }
            else if (clockwise == 270) { nx = y; ny = w - 1 - x; nw = h; }
            std::memcpy(&out[(static_cast<std::size_t>(ny) * nw + nx) * 4], &rgba[(static_cast<std::size_t>(y) * w + x) * 4], 4);
        }
    }
    return out;
}

int rotationOf(const AVStream* stream) {
    std::size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size < 9 * sizeof(int32_t)) return 0;
    int32_t m[9];
    std::memcpy(m, matrix, sizeof m);
    const double angle = av_display_rotation_get(m); // counter-clockwise degrees
    if (!std::isfinite(angle)) return 0;
    int clockwise = static_cast<int>(std::lround(-angle)) % 360;
    if (clockwise < 0) clockwise += 360;
    return (clockwise == 90 || clockwise == 180 || clockwise == 270) ? clockwise : 0;
}

std::shared_ptr<Image> imageOf(const AVFrame* frame, double maxWidth, double maxHeight, int rotation) {
    const auto format = static_cast<AVPixelFormat>(frame->format);
    if (frame->width <= 0 || frame->height <= 0 || format == AV_PIX_FMT_NONE || !sws_isSupportedInput(format))
        return nullptr;
    const bool sideways = rotation == 90 || rotation == 270;
    const double shownW = sideways ? frame->height : frame->width;
    const double shownH = sideways ? frame->width : frame->height;
    const auto fit = fittingSize(shownW, shownH, maxWidth, maxHeight);
    if (!fit) return nullptr;
    const int w = sideways ? fit->second : fit->first;
    const int h = sideways ? fit->first : fit->second;
    std::unique_ptr<SwsContext, SwsFree> sws(sws_getContext(frame->width, frame->height, format, w, h, AV_PIX_FMT_RGBA,
                                                            SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws) return nullptr;
    std::vector<uint8_t> rgba(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
    uint8_t* dst[4] = {rgba.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {w * 4, 0, 0, 0};
    if (sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, dst, dstStride) != h) return nullptr;
    if (rotation) return Image::make(fit->first, fit->second, rotated(rgba, w, h, rotation));
    return Image::make(w, h, std::move(rgba));
}

// A reduced decode is checked against the full picture size.
int64_t pixelLimit(int lowres) {
    return std::min<int64_t>(MediaDecoder::maxPixels << (2 * lowres), std::numeric_limits<int>::max());
}

} // namespace

struct MediaDecoder::IO {
    int fd = -1;
    std::span<const uint8_t> data;
    int64_t position = 0;
    AVIOContext* avio = nullptr;

    ~IO() {
        if (avio) {
            av_freep(&avio->buffer);
            avio_context_free(&avio);
        }
        if (fd >= 0) ::close(fd);
    }

    static int read(void* opaque, uint8_t* buffer, int size) {
        auto* io = static_cast<IO*>(opaque);
        if (size <= 0) return 0;
        if (io->fd >= 0) {
            ssize_t n;
            do n = ::read(io->fd, buffer, static_cast<std::size_t>(size));
            while (n < 0 && errno == EINTR);
            if (n < 0) return AVERROR(EIO);
            if (n == 0) return AVERROR_EOF;
            return static_cast<int>(n);
        }
        const int64_t left = static_cast<int64_t>(io->data.size()) - io->position;
        if (left <= 0) return AVERROR_EOF;
        const int n = static_cast<int>(std::min<int64_t>(left, size));
        std::memcpy(buffer, io->data.data() + io->position, static_cast<std::size_t>(n));
        io->position += n;
        return n;
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* io = static_cast<IO*>(opaque);
        whence &= ~AVSEEK_FORCE;
        if (io->fd >= 0) {
            if (whence == AVSEEK_SIZE) {
                struct stat st {};
                return ::fstat(io->fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(EIO);
            }
            const off_t r = ::lseek(io->fd, static_cast<off_t>(offset), whence);
            return r < 0 ? AVERROR(EIO) : static_cast<int64_t>(r);
        }
        const int64_t size = static_cast<int64_t>(io->data.size());
        if (whence == AVSEEK_SIZE) return size;
        int64_t to;
        if (whence == SEEK_SET) to = offset;
        else if (whence == SEEK_CUR) to = io->position + offset;
        else if (whence == SEEK_END) to = size + offset;
        else return AVERROR(EINVAL);
        if (to < 0 || to > size) return AVERROR(EINVAL);
        io->position = to;
        return to;
    }
};

std::unique_ptr<MediaDecoder> MediaDecoder::open(const std::string& path, Kind kind) {
    auto io = std::make_unique<IO>();
    // Non-blocking open: a named pipe given a media name must not hold the caller until a writer comes.
    io->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (io->fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(io->fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    ::fcntl(io->fd, F_SETFL, ::fcntl(io->fd, F_GETFL) & ~O_NONBLOCK);
    return openWith(std::move(io), kind);
}

std::unique_ptr<MediaDecoder> MediaDecoder::open(std::span<const uint8_t> data, Kind kind) {
    if (data.empty()) return nullptr;
    auto io = std::make_unique<IO>();
    io->data = data;
    return openWith(std::move(io), kind);
}

std::unique_ptr<MediaDecoder> MediaDecoder::openWith(std::unique_ptr<IO> io, Kind kind) {
    constexpr int bufferSize = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    if (!buffer) return nullptr;
    io->avio = avio_alloc_context(buffer, bufferSize, 0, io.get(), &IO::read, nullptr, &IO::seek);
    if (!io->avio) {
        av_free(buffer);
        return nullptr;
    }
    AVFormatContext* format = avformat_alloc_context();
    if (!format) return nullptr;
    format->pb = io->avio;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", kind == Kind::image ? imageFormats : audioVideoFormats, 0);
    const int r = avformat_open_input(&format, nullptr, nullptr, &options); // frees `format` on failure
    av_dict_free(&options);
    if (r < 0) return nullptr;
    std::unique_ptr<MediaDecoder> decoder(new MediaDecoder());
    decoder->io_ = std::move(io);
    decoder->format_ = format;
    return decoder;
}

MediaDecoder::~MediaDecoder() {
    if (format_) avformat_close_input(&format_);
}

std::shared_ptr<Image> scaledImage(const uint8_t* rgba, int width, int height, int stride, double maxWidth,
                                   double maxHeight) {
    if (!rgba || width <= 0 || height <= 0 || stride < width * 4) return nullptr;
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    if (!frame) return nullptr;
    frame->format = AV_PIX_FMT_RGBA;
    frame->width = width;
    frame->height = height;
    frame->data[0] = const_cast<uint8_t*>(rgba);
    frame->linesize[0] = stride;
    return imageOf(frame.get(), maxWidth, maxHeight, 0);
}

bool MediaDecoder::findStreamInfo(bool cheap) {
    AVDictionary** perStream = nullptr;
    const unsigned n = format_->nb_streams;
    if (n) {
        perStream = static_cast<AVDictionary**>(av_calloc(n, sizeof(AVDictionary*)));
        if (!perStream) return false;
        for (unsigned i = 0; i < n; ++i) {
            const AVCodec* codec = avcodec_find_decoder(format_->streams[i]->codecpar->codec_id);
            const int lowres = cheap && codec ? codec->max_lowres : 0;
            if (lowres > 0) av_dict_set_int(&perStream[i], "lowres", lowres, 0);
            av_dict_set_int(&perStream[i], "max_pixels", pixelLimit(lowres), 0);
            av_dict_set_int(&perStream[i], "threads", 1, 0);
        }
    }
    const int r = avformat_find_stream_info(format_, perStream);
    for (unsigned i = 0; i < n; ++i) av_dict_free(&perStream[i]);
    av_free(perStream);
    return r >= 0;
}

int MediaDecoder::bestStream(int mediaType) const {
    const int r = av_find_best_stream(format_, static_cast<AVMediaType>(mediaType), -1, -1, nullptr, 0);
    return r < 0 ? -1 : r;
}

std::optional<Data> MediaDecoder::attachedPicture(int index) const {
    if (index < 0 || static_cast<unsigned>(index) >= format_->nb_streams) return std::nullopt;
    const AVStream* st = format_->streams[index];
    if (!(st->disposition & AV_DISPOSITION_ATTACHED_PIC) || st->attached_pic.size <= 0) return std::nullopt;
    return Data(st->attached_pic.data, st->attached_pic.data + st->attached_pic.size);
}

std::shared_ptr<Image> MediaDecoder::picture(int index, std::optional<int64_t> at, double maxWidth, double maxHeight,
                                             int lowres, bool applyRotation) {
    if (index < 0 || static_cast<unsigned>(index) >= format_->nb_streams) return nullptr;
    AVStream* st = format_->streams[index];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return nullptr;
    std::unique_ptr<AVCodecContext, CodecContextFree> ctx(avcodec_alloc_context3(codec));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) return nullptr;
    ctx->thread_count = 1;
    lowres = std::clamp(lowres, 0, static_cast<int>(codec->max_lowres));
    ctx->lowres = lowres;
    ctx->max_pixels = pixelLimit(lowres);
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        format_->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    if (at) av_seek_frame(format_, index, *at, AVSEEK_FLAG_BACKWARD);

    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc()), last(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!frame || !last || !packet) return nullptr;
    bool haveLast = false, found = false;
    auto drain = [&] {
        while (!found && avcodec_receive_frame(ctx.get(), frame.get()) >= 0) {
            const int64_t ts = frame->best_effort_timestamp;
            av_frame_unref(last.get());
            av_frame_move_ref(last.get(), frame.get());
            haveLast = true;
            if (!at || ts == AV_NOPTS_VALUE || ts >= *at) found = true;
        }
    };
    for (int count = 0; !found && count < maxPackets && av_read_frame(format_, packet.get()) >= 0; ++count) {
        if (packet->stream_index == index) avcodec_send_packet(ctx.get(), packet.get());
        av_packet_unref(packet.get());
        drain();
    }
    if (!found) {
        avcodec_send_packet(ctx.get(), nullptr);
        drain();
    }
    if (!haveLast) return nullptr;
    return imageOf(last.get(), maxWidth, maxHeight, applyRotation ? rotationOf(st) : 0);
}

std::optional<std::pair<int, int>> fittingSize(double w, double h, double maxWidth, double maxHeight) {
    if (!(w > 0) || !(h > 0) || !std::isfinite(w) || !std::isfinite(h)) return std::nullopt;
    if (!std::isfinite(maxWidth) || !std::isfinite(maxHeight)) return std::nullopt;
    double scale = 1;
    if (maxWidth > 0) scale = std::min(scale, maxWidth / w);
    if (maxHeight > 0) scale = std::min(scale, maxHeight / h);
    const double fw = std::max(1.0, std::round(w * scale)), fh = std::max(1.0, std::round(h * scale));
    if (fw > std::numeric_limits<int>::max() / 8 || fh > std::numeric_limits<int>::max() / 8) return std::nullopt;
    if (fw * fh > static_cast<double>(MediaDecoder::maxPixels)) return std::nullopt;
    return std::make_pair(static_cast<int>(fw), static_cast<int>(fh));
}

} // namespace platform
