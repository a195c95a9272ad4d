// Small media files made on the spot with the libraries the library itself links: images through
// FFmpeg's encoders (Exif added with Exiv2), a FLAC file with tags and a cover, a QuickTime movie
// whose frames say their own number, and hand-written PDF files.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/crc.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#include <libheif/heif.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fixtures {

using Bytes = std::vector<uint8_t>;
using Colour = std::function<std::array<uint8_t, 4>(int x, int y)>;

inline void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    writeFile(path, Bytes(text.begin(), text.end()));
}

// A frame of `format` painted from RGBA colours.
inline AVFrame* paintedFrame(AVPixelFormat format, int w, int h, const Colour& colour) {
    std::vector<uint8_t> rgba(static_cast<std::size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto c = colour(x, y);
            std::copy(c.begin(), c.end(), rgba.begin() + (static_cast<std::size_t>(y) * w + x) * 4);
        }
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->width = w;
    frame->height = h;
    check(av_frame_get_buffer(frame, 0) >= 0, "frame buffer");
    SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_RGBA, w, h, format, SWS_POINT, nullptr, nullptr, nullptr);
    const uint8_t* src[4] = {rgba.data(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {w * 4, 0, 0, 0};
    sws_scale(sws, src, srcStride, 0, h, frame->data, frame->linesize);
    sws_freeContext(sws);
    return frame;
}

// Opens an encoder; `tune` sets what the codec needs beyond size and format.
inline AVCodecContext* openEncoder(AVCodecID id, const std::function<void(AVCodecContext*)>& tune) {
    const AVCodec* codec = avcodec_find_encoder(id);
    check(codec, "encoder");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->time_base = {1, 10};
    tune(ctx);
    check(avcodec_open2(ctx, codec, nullptr) >= 0, "open encoder");
    return ctx;
}

inline std::vector<Bytes> encode(AVCodecContext* ctx, AVFrame* frame) {
    std::vector<Bytes> out;
    avcodec_send_frame(ctx, frame);
    AVPacket* pkt = av_packet_alloc();
    while (avcodec_receive_packet(ctx, pkt) >= 0) {
        out.emplace_back(pkt->data, pkt->data + pkt->size);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return out;
}

// One still image: PNG (rgba), BMP (bgr24), TIFF (rgb24), GIF (rgb8) or JPEG (full-range 4:2:0,
// fine quantiser).
inline Bytes image(AVCodecID id, int w, int h, const Colour& colour, int pngDPI = 0) {
    AVPixelFormat format = id == AV_CODEC_ID_PNG    ? AV_PIX_FMT_RGBA
                           : id == AV_CODEC_ID_BMP  ? AV_PIX_FMT_BGR24
                           : id == AV_CODEC_ID_TIFF ? AV_PIX_FMT_RGB24
                           : id == AV_CODEC_ID_GIF  ? AV_PIX_FMT_RGB8
                                                    : AV_PIX_FMT_YUVJ420P;
    AVCodecContext* ctx = openEncoder(id, [&](AVCodecContext* c) {
        c->width = w;
        c->height = h;
        c->pix_fmt = format;
        if (pngDPI) av_opt_set_int(c->priv_data, "dpi", pngDPI, 0);
        if (id == AV_CODEC_ID_MJPEG) {
            c->flags |= AV_CODEC_FLAG_QSCALE;
            c->global_quality = FF_QP2LAMBDA * 2;
            c->color_range = AVCOL_RANGE_JPEG;
        }
    });
    AVFrame* frame = paintedFrame(format, w, h, colour);
    frame->quality = ctx->global_quality;
    auto packets = encode(ctx, frame);
    auto rest = encode(ctx, nullptr);
    packets.insert(packets.end(), rest.begin(), rest.end());
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    check(!packets.empty(), "no image packet");
    return packets.front();
}

inline Colour solid(uint8_t r, uint8_t g, uint8_t b) {
    return [=](int, int) { return std::array<uint8_t, 4>{r, g, b, 255}; };
}

struct Exif {
    std::vector<std::pair<std::string, std::string>> entries; // key, value text as Exiv2 reads it
};

// Writes Exif fields into an image file in place.
inline void addExif(const std::filesystem::path& path, const Exif& exif) {
    auto image = Exiv2::ImageFactory::open(path.string());
    image->readMetadata();
    Exiv2::ExifData& data = image->exifData();
    for (const auto& [key, value] : exif.entries) data[key] = value;
    image->writeMetadata();
}

inline void setExifRational(const std::filesystem::path& path, const std::string& key, std::vector<Exiv2::Rational> values) {
    auto image = Exiv2::ImageFactory::open(path.string());
    image->readMetadata();
    Exiv2::URationalValue v;
    for (const auto& r : values) v.value_.push_back({static_cast<uint32_t>(r.first), static_cast<uint32_t>(r.second)});
    image->exifData().add(Exiv2::ExifKey(key), &v);
    image->writeMetadata();
}

// A minimal ICC profile whose only tag is a version 2 description.
inline std::string iccProfile(const std::string& description) {
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    const std::string tag = "desc" + be32(0) + be32(static_cast<uint32_t>(description.size() + 1)) + description + '\0';
    std::string p(128, '\0');
    p.replace(36, 4, "acsp");
    p += be32(1) + "desc" + be32(144) + be32(static_cast<uint32_t>(tag.size())) + tag;
    while (p.size() % 4) p += '\0';
    p.replace(0, 4, be32(static_cast<uint32_t>(p.size())));
    return p;
}

inline void setIccProfile(const std::filesystem::path& path, const std::string& profile) {
    auto image = Exiv2::ImageFactory::open(path.string());
    image->readMetadata();
    Exiv2::DataBuf buf(reinterpret_cast<const Exiv2::byte*>(profile.data()), static_cast<long>(profile.size()));
    image->setIccProfile(buf, true);
    image->writeMetadata();
}

// Writes packets of the given streams through a muxer.
struct Muxer {
    AVFormatContext* oc = nullptr;
    bool started = false;
    Muxer(const char* format, const std::filesystem::path& path) {
        check(avformat_alloc_output_context2(&oc, nullptr, format, path.c_str()) >= 0, "muxer");
        check(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0, "output file");
    }
    AVStream* add() { return avformat_new_stream(oc, nullptr); }
    void begin() {
        check(avformat_write_header(oc, nullptr) >= 0, "header");
        started = true;
    }
    void write(int stream, const Bytes& data, int64_t pts, int64_t duration, AVRational tb, bool key = true) {
        AVPacket* pkt = av_packet_alloc();
        av_new_packet(pkt, static_cast<int>(data.size()));
        std::copy(data.begin(), data.end(), pkt->data);
        pkt->stream_index = stream;
        pkt->pts = pkt->dts = av_rescale_q(pts, tb, oc->streams[stream]->time_base);
        pkt->duration = av_rescale_q(duration, tb, oc->streams[stream]->time_base);
        if (key) pkt->flags |= AV_PKT_FLAG_KEY;
        check(av_interleaved_write_frame(oc, pkt) >= 0, "write packet");
        av_packet_free(&pkt);
    }
    ~Muxer() {
        if (started) av_write_trailer(oc);
        avio_closep(&oc->pb);
        avformat_free_context(oc);
    }
};

inline void setPictureStream(AVStream* st, AVCodecID id, int w, int h) {
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = id;
    st->codecpar->width = w;
    st->codecpar->height = h;
    st->codecpar->format = AV_PIX_FMT_RGBA;
}

// An ICO file holding one PNG image.
inline void ico(const std::filesystem::path& path, int w, int h, const Colour& colour) {
    const Bytes png = image(AV_CODEC_ID_PNG, w, h, colour);
    Muxer m("ico", path);
    setPictureStream(m.add(), AV_CODEC_ID_PNG, w, h);
    m.begin();
    m.write(0, png, 0, 1, {1, 1});
}

// One second of a square tone at 8000 Hz in FLAC, with tags and, when given, a PNG cover. The
// stream header is written last, once the encoder has counted the samples.
inline void flac(const std::filesystem::path& path, const std::vector<std::pair<std::string, std::string>>& tags,
                 const Bytes* coverPNG, int coverW = 0, int coverH = 0) {
    AVCodecContext* enc = openEncoder(AV_CODEC_ID_FLAC, [](AVCodecContext* c) {
        c->sample_fmt = AV_SAMPLE_FMT_S16;
        c->sample_rate = 8000;
        av_channel_layout_default(&c->ch_layout, 1);
        c->time_base = {1, 8000};
    });
    const int frameSize = enc->frame_size > 0 ? enc->frame_size : 1152;
    std::vector<Bytes> packets;
    Bytes header(enc->extradata, enc->extradata + enc->extradata_size);
    auto collect = [&](AVFrame* f) {
        avcodec_send_frame(enc, f);
        AVPacket* pkt = av_packet_alloc();
        while (avcodec_receive_packet(enc, pkt) >= 0) {
            std::size_t size = 0;
            if (const uint8_t* extra = av_packet_get_side_data(pkt, AV_PKT_DATA_NEW_EXTRADATA, &size))
                header.assign(extra, extra + size);
            if (pkt->size > 0) packets.emplace_back(pkt->data, pkt->data + pkt->size);
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    };
    for (int n = 0; n < 8000; n += frameSize) {
        AVFrame* f = av_frame_alloc();
        f->format = AV_SAMPLE_FMT_S16;
        f->sample_rate = 8000;
        av_channel_layout_default(&f->ch_layout, 1);
        f->nb_samples = std::min(frameSize, 8000 - n);
        av_frame_get_buffer(f, 0);
        auto* s = reinterpret_cast<int16_t*>(f->data[0]);
        for (int i = 0; i < f->nb_samples; ++i) s[i] = static_cast<int16_t>(8000 * ((n + i) % 18 < 9 ? 1 : -1));
        f->pts = n;
        collect(f);
        av_frame_free(&f);
    }
    collect(nullptr);

    Muxer m("flac", path);
    for (const auto& [k, v] : tags) av_dict_set(&m.oc->metadata, k.c_str(), v.c_str(), 0);
    AVStream* audio = m.add();
    avcodec_parameters_from_context(audio->codecpar, enc);
    av_freep(&audio->codecpar->extradata);
    audio->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(header.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(header.begin(), header.end(), audio->codecpar->extradata);
    audio->codecpar->extradata_size = static_cast<int>(header.size());
    if (coverPNG) {
        AVStream* pic = m.add();
        setPictureStream(pic, AV_CODEC_ID_PNG, coverW, coverH);
        pic->disposition = AV_DISPOSITION_ATTACHED_PIC;
    }
    m.begin();
    if (coverPNG) m.write(1, *coverPNG, 0, 0, {1, 8000});
    for (std::size_t i = 0; i < packets.size(); ++i)
        m.write(0, packets[i], static_cast<int64_t>(i) * frameSize, frameSize, {1, 8000});
    avcodec_free_context(&enc);
}

// A QuickTime movie of `frames` frames at 10 per second, 64 × 48, frame i a flat grey of level
// 8 × i, and (when `withAudio`) a track of silent 16-bit PCM at 8000 Hz.
inline void movie(const std::filesystem::path& path, int frames, bool withAudio, int rotation = 0) {
    AVCodecContext* enc = openEncoder(AV_CODEC_ID_MPEG4, [](AVCodecContext* c) {
        c->width = 64;
        c->height = 48;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->gop_size = 5;
        c->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_GLOBAL_HEADER;
        c->global_quality = FF_QP2LAMBDA * 2;
    });
    Muxer m("mov", path);
    AVStream* video = m.add();
    avcodec_parameters_from_context(video->codecpar, enc);
    video->time_base = {1, 10};
    if (rotation) {
        auto* matrix = reinterpret_cast<int32_t*>(av_stream_new_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
        av_display_rotation_set(matrix, rotation);
    }
    if (withAudio) {
        AVStream* audio = m.add();
        audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        audio->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
        audio->codecpar->sample_rate = 8000;
        audio->codecpar->format = AV_SAMPLE_FMT_S16;
        audio->codecpar->bits_per_coded_sample = 16;
        audio->codecpar->block_align = 2;
        av_channel_layout_default(&audio->codecpar->ch_layout, 1);
        audio->time_base = {1, 8000};
    }
    m.begin();
    auto writeVideo = [&](std::vector<Bytes> packets, int64_t& next) {
        for (auto& p : packets) { m.write(0, p, next, 1, {1, 10}); ++next; }
    };
    int64_t nextVideo = 0;
    for (int i = 0; i < frames; ++i) {
        const auto level = static_cast<uint8_t>(8 * i);
        AVFrame* f = paintedFrame(AV_PIX_FMT_YUV420P, 64, 48, solid(level, level, level));
        f->pts = i;
        f->quality = enc->global_quality;
        f->pict_type = AV_PICTURE_TYPE_NONE;
        writeVideo(encode(enc, f), nextVideo);
        av_frame_free(&f);
        if (withAudio) m.write(1, Bytes(1600, 0), i * 800, 800, {1, 8000});
    }
    writeVideo(encode(enc, nullptr), nextVideo);
    avcodec_free_context(&enc);
}

// A HEIF (HEVC) still image; false when this libheif has no HEVC encoder.
inline bool heic(const std::filesystem::path& path, int w, int h, const Colour& colour) {
    heif_init(nullptr);
    if (!heif_have_encoder_for_format(heif_compression_HEVC)) return false;
    heif_image* image = nullptr;
    check(heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image).code == heif_error_Ok, "heif image");
    heif_image_add_plane(image, heif_channel_interleaved, w, h, 8);
    int stride = 0;
    uint8_t* p = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto c = colour(x, y);
            std::copy(c.begin(), c.begin() + 3, p + y * stride + x * 3);
        }
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    check(heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder).code == heif_error_Ok, "heif encoder");
    heif_encoder_set_lossy_quality(encoder, 90);
    check(heif_context_encode_image(ctx, image, encoder, nullptr, nullptr).code == heif_error_Ok, "heif encode");
    heif_encoder_release(encoder);
    check(heif_context_write_to_file(ctx, path.c_str()).code == heif_error_Ok, "heif write");
    heif_context_free(ctx);
    heif_image_release(image);
    return true;
}

// A one-page PDF with the given info entries (written as literal strings) and page box; the top
// left quarter of the page is black. `encrypt` adds a standard security handler whose user
// password is not empty, so the file opens locked.
inline std::string pdf(const std::vector<std::pair<std::string, std::string>>& info, int width = 612, int height = 792,
                       bool encrypt = false) {
    std::vector<std::string> objects;
    objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    objects.push_back("<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(width) + " " + std::to_string(height) +
                      "] /Contents 4 0 R >>");
    const std::string content = "0 g 0 " + std::to_string(height / 2) + " " + std::to_string(width / 2) + " " +
                                std::to_string(height / 2) + " re f\n";
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream");
    std::string dict = "<<";
    for (const auto& [k, v] : info) dict += " /" + k + " (" + v + ")";
    dict += " >>";
    objects.push_back(dict);
    if (encrypt)
        objects.push_back("<< /Filter /Standard /V 1 /R 2 /P -44 /O <" + std::string(64, 'A') + "> /U <" +
                          std::string(64, '7') + "> >>");
    std::string out = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t o : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R /Info 5 0 R";
    if (encrypt) out += " /Encrypt 6 0 R /ID [<0123456789ABCDEF0123456789ABCDEF> <0123456789ABCDEF0123456789ABCDEF>]";
    out += " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return out;
}

} // namespace fixtures

#pragma GCC diagnostic pop
