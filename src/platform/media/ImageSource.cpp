#include "platform/media/ImageSource.hpp"

#include "platform/media/MediaDecoder.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}
// Exiv2 0.27 hands images out in std::auto_ptr, which newer compilers mark deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#include <libheif/heif.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sys/stat.h>

namespace platform {

namespace {

void setUpLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
        Exiv2::enableBMFF(true);
        heif_init(nullptr);
    });
}

bool isHeif(const uint8_t* p, std::size_t n) {
    if (n < 12 || std::memcmp(p + 4, "ftyp", 4) != 0) return false;
    static const char* brands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1", "avif"};
    return std::any_of(std::begin(brands), std::end(brands), [&](const char* b) { return std::memcmp(p + 8, b, 4) == 0; });
}

struct HeifContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifHandleFree {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct HeifImageFree {
    void operator()(heif_image* i) const { heif_image_release(i); }
};

struct Heif {
    std::unique_ptr<heif_context, HeifContextFree> context;
    std::unique_ptr<heif_image_handle, HeifHandleFree> handle;
};

std::optional<Heif> openHeif(const std::string& path) {
    Heif h;
    h.context.reset(heif_context_alloc());
    if (!h.context) return std::nullopt;
    if (heif_context_read_from_file(h.context.get(), path.c_str(), nullptr).code != heif_error_Ok) return std::nullopt;
    heif_image_handle* handle = nullptr;
    if (heif_context_get_primary_image_handle(h.context.get(), &handle).code != heif_error_Ok || !handle)
        return std::nullopt;
    h.handle.reset(handle);
    return h;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.pop_back();
    return s;
}

const Exiv2::Value* exifValue(const Exiv2::ExifData& data, const char* key) {
    const auto it = data.findKey(Exiv2::ExifKey(key));
    if (it == data.end() || it->count() == 0) return nullptr;
    return &it->value();
}

std::optional<double> rational(const Exiv2::Value& v, long n = 0) {
    if (v.count() <= n) return std::nullopt;
    const Exiv2::Rational r = v.toRational(n);
    if (r.second == 0) return std::nullopt;
    const double d = static_cast<double>(r.first) / static_cast<double>(r.second);
    return std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
}

// Whole numbers stay integers, as the platform's number objects print them.
Value number(double d) {
    if (std::trunc(d) == d && std::fabs(d) < 9.0e15) return Value(static_cast<int64_t>(d));
    return Value(d);
}

std::optional<double> degrees(const Exiv2::Value& v) {
    const auto d = rational(v, 0);
    if (!d) return std::nullopt;
    double result = *d;
    if (const auto m = rational(v, 1)) result += *m / 60;
    if (const auto s = rational(v, 2)) result += *s / 3600;
    return result;
}

void putText(ValueDictionary& into, const char* label, const Exiv2::ExifData& data, const char* key) {
    const Exiv2::Value* v = exifValue(data, key);
    if (v && v->typeId() == Exiv2::asciiString) into[label] = trimmed(v->toString());
}

void putNumber(ValueDictionary& into, const char* label, const Exiv2::ExifData& data, const char* key) {
    if (const Exiv2::Value* v = exifValue(data, key))
        if (const auto d = rational(*v)) into[label] = number(*d);
}

// GPSAreaInformation starts with an 8-byte character-code header; only ASCII text is kept.
std::optional<std::string> areaInformation(const Exiv2::Value& v) {
    std::vector<Exiv2::byte> raw(static_cast<std::size_t>(v.size()));
    if (raw.empty()) return std::nullopt;
    v.copy(raw.data(), Exiv2::bigEndian);
    std::string text(raw.begin(), raw.end());
    if (text.size() >= 8 && (text.compare(0, 8, std::string("ASCII\0\0\0", 8)) == 0 ||
                             text.compare(0, 8, std::string(8, '\0')) == 0))
        text.erase(0, 8);
    else if (text.size() >= 8 && text.compare(0, 7, "UNICODE") == 0)
        return std::nullopt;
    text = text.substr(0, text.find('\0'));
    return text;
}

void addExif(const Exiv2::ExifData& data, ValueDictionary& props) {
    if (data.empty()) return;
    ValueDictionary tiff, exif, gps;
    putText(tiff, "Make", data, "Exif.Image.Make");
    putText(tiff, "Model", data, "Exif.Image.Model");
    putText(tiff, "Artist", data, "Exif.Image.Artist");
    putText(tiff, "Copyright", data, "Exif.Image.Copyright");
    putText(tiff, "DateTime", data, "Exif.Image.DateTime");
    putText(exif, "LensModel", data, "Exif.Photo.LensModel");
    putNumber(exif, "FocalLength", data, "Exif.Photo.FocalLength");
    putNumber(exif, "WhiteBalance", data, "Exif.Photo.WhiteBalance");
    putNumber(exif, "FNumber", data, "Exif.Photo.FNumber");
    putNumber(exif, "ExposureProgram", data, "Exif.Photo.ExposureProgram");
    putNumber(exif, "ExposureTime", data, "Exif.Photo.ExposureTime");
    if (const Exiv2::Value* v = exifValue(data, "Exif.Photo.ISOSpeedRatings")) {
        ValueArray ratings;
        for (long i = 0; i < v->count(); ++i)
            if (const auto d = rational(*v, i)) ratings.push_back(number(*d));
        exif["ISOSpeedRatings"] = std::move(ratings);
    }
    if (const Exiv2::Value* v = exifValue(data, "Exif.GPSInfo.GPSLatitude"))
        if (const auto d = degrees(*v)) gps["Latitude"] = *d;
    if (const Exiv2::Value* v = exifValue(data, "Exif.GPSInfo.GPSLongitude"))
        if (const auto d = degrees(*v)) gps["Longitude"] = *d;
    putNumber(gps, "Altitude", data, "Exif.GPSInfo.GPSAltitude");
    if (const Exiv2::Value* v = exifValue(data, "Exif.GPSInfo.GPSAreaInformation"))
        if (auto text = areaInformation(*v)) gps["AreaInformation"] = std::move(*text);
    if (const Exiv2::Value* v = exifValue(data, "Exif.Image.XResolution")) {
        if (auto dpi = rational(*v)) {
            const Exiv2::Value* unit = exifValue(data, "Exif.Image.ResolutionUnit");
            if (unit && unit->toLong() == 3) *dpi *= 2.54;
            props["DPIWidth"] = number(*dpi);
        }
    }
    if (!tiff.empty()) props["{TIFF}"] = std::move(tiff);
    if (!exif.empty()) props["{Exif}"] = std::move(exif);
    if (!gps.empty()) props["{GPS}"] = std::move(gps);
}

void addProfile(std::string_view profile, ValueDictionary& props) {
    if (auto name = iccProfileDescription(profile)) props["ProfileName"] = std::move(*name);
}

uint32_t be(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

// The resolution a JPEG's JFIF header or a PNG's pHYs chunk stores, in dots per inch. Only the
// file's head is read; units other than inches and centimetres (JPEG) or metres (PNG) say nothing.
std::optional<double> headerResolution(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> b(64 * 1024);
    file.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
    const std::size_t n = static_cast<std::size_t>(file.gcount());
    if (n >= 4 && b[0] == 0xFF && b[1] == 0xD8) {
        std::size_t i = 2;
        while (i + 4 <= n && b[i] == 0xFF) {
            const uint8_t marker = b[i + 1];
            if (marker == 0xDA || marker == 0xD9) break;
            if (marker == 0xFF || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
                i += marker == 0xFF ? 1 : 2;
                continue;
            }
            const std::size_t length = be(&b[i + 2], 2);
            if (length < 2) break;
            if (marker == 0xE0 && length >= 14 && i + 16 <= n && std::memcmp(&b[i + 4], "JFIF\0", 5) == 0) {
                const uint8_t units = b[i + 11];
                const double x = be(&b[i + 12], 2);
                if (x > 0 && units == 1) return x;
                if (x > 0 && units == 2) return x * 2.54;
                return std::nullopt;
            }
            i += 2 + length;
        }
        return std::nullopt;
    }
    static const uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (n >= 8 && std::memcmp(b.data(), pngSignature, 8) == 0) {
        std::size_t i = 8;
        while (i + 8 <= n) {
            const uint64_t length = be(&b[i], 4);
            const uint8_t* type = &b[i + 4];
            if (std::memcmp(type, "IDAT", 4) == 0) break;
            if (std::memcmp(type, "pHYs", 4) == 0 && length == 9 && i + 17 <= n) {
                const double perMetre = be(&b[i + 8], 4);
                // Dots per metre rarely convert to a whole number of dots per inch exactly.
                if (b[i + 16] == 1 && perMetre > 0) return std::round(perMetre * 0.0254);
                return std::nullopt;
            }
            i += 12 + length;
        }
    }
    return std::nullopt;
}

// Exiv2 reads the file itself through its own file I/O (never a network address).
void addMetadata(const std::string& path, ValueDictionary& props) {
    try {
        Exiv2::BasicIo::AutoPtr io(new Exiv2::FileIo(path));
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(io);
        if (!image.get()) return;
        image->readMetadata();
        if (image->pixelWidth() > 0 && image->pixelHeight() > 0) {
            props["PixelWidth"] = static_cast<int64_t>(image->pixelWidth());
            props["PixelHeight"] = static_cast<int64_t>(image->pixelHeight());
        }
        addExif(image->exifData(), props);
        if (image->iccProfileDefined()) {
            const Exiv2::DataBuf* icc = image->iccProfile();
            addProfile(std::string_view(reinterpret_cast<const char*>(icc->pData_), static_cast<std::size_t>(icc->size_)),
                       props);
        }
    } catch (...) {
        // Unreadable metadata leaves the properties the decoder found.
    }
}

int firstVideoStream(const MediaDecoder& decoder) {
    for (unsigned i = 0; i < decoder.context()->nb_streams; ++i)
        if (decoder.context()->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return static_cast<int>(i);
    return -1;
}

void addPixelFormat(int format, ValueDictionary& props) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    if (!d || d->nb_components == 0) return;
    const bool gray = !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) && d->nb_components <= 2;
    props["ColorModel"] = gray ? "Gray" : "RGB";
    props["Depth"] = static_cast<int64_t>(d->comp[0].depth);
}

} // namespace

std::shared_ptr<ImageSource> ImageSource::make(const URL& url) {
    if (!url.isFileURL()) return nullptr;
    setUpLibraries();
    std::shared_ptr<ImageSource> source(new ImageSource());
    source->path_ = url.path();
    // Only regular files: opening a named pipe would wait for a writer.
    struct stat st {};
    if (::stat(source->path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    std::ifstream file(source->path_, std::ios::binary);
    if (!file) return nullptr;
    uint8_t head[12] = {};
    file.read(reinterpret_cast<char*>(head), sizeof head);
    source->heif_ = isHeif(head, static_cast<std::size_t>(file.gcount()));
    return source;
}

std::shared_ptr<ImageSource> ImageSource::make(Data data) {
    if (data.empty()) return nullptr;
    setUpLibraries();
    std::shared_ptr<ImageSource> source(new ImageSource());
    source->data_ = std::move(data);
    if (!MediaDecoder::open(source->data_, MediaDecoder::Kind::image)) return nullptr;
    return source;
}

std::optional<ValueDictionary> ImageSource::properties() const {
    ValueDictionary props;
    if (heif_) {
        auto heif = openHeif(path_);
        if (!heif) return std::nullopt;
        heif_image_handle* h = heif->handle.get();
        props["PixelWidth"] = static_cast<int64_t>(heif_image_handle_get_width(h));
        props["PixelHeight"] = static_cast<int64_t>(heif_image_handle_get_height(h));
        props["ColorModel"] = "RGB";
        const int depth = heif_image_handle_get_luma_bits_per_pixel(h);
        if (depth > 0) props["Depth"] = static_cast<int64_t>(depth);
        std::size_t iccSize = heif_image_handle_get_raw_color_profile_size(h);
        if (iccSize > 0 && iccSize < (16u << 20)) {
            std::string icc(iccSize, '\0');
            if (heif_image_handle_get_raw_color_profile(h, icc.data()).code == heif_error_Ok) addProfile(icc, props);
        }
        heif_item_id id = 0;
        if (heif_image_handle_get_list_of_metadata_block_IDs(h, "Exif", &id, 1) == 1) {
            const std::size_t size = heif_image_handle_get_metadata_size(h, id);
            if (size > 4 && size < (64u << 20)) {
                std::vector<uint8_t> block(size);
                if (heif_image_handle_get_metadata(h, id, block.data()).code == heif_error_Ok) {
                    // The block starts with the offset of the TIFF header after its first four bytes.
                    const uint32_t skip = (uint32_t{block[0]} << 24) | (uint32_t{block[1]} << 16) | (uint32_t{block[2]} << 8) | block[3];
                    if (skip < size - 4) {
                        try {
                            Exiv2::ExifData exif;
                            Exiv2::ExifParser::decode(exif, block.data() + 4 + skip, static_cast<uint32_t>(size - 4 - skip));
                            addExif(exif, props);
                        } catch (...) {
                        }
                    }
                }
            }
        }
        return props;
    }
    if (!path_.empty()) {
        addMetadata(path_, props);
        if (const auto dpi = headerResolution(path_)) props["DPIWidth"] = number(*dpi);
    }
    auto decoder = path_.empty() ? MediaDecoder::open(data_, MediaDecoder::Kind::image)
                                 : MediaDecoder::open(path_, MediaDecoder::Kind::image);
    if (decoder && decoder->findStreamInfo(props.count("PixelWidth") > 0)) {
        const int index = firstVideoStream(*decoder);
        if (index >= 0) {
            const AVCodecParameters* par = decoder->context()->streams[index]->codecpar;
            if (!props.count("PixelWidth") && par->width > 0 && par->height > 0) {
                props["PixelWidth"] = static_cast<int64_t>(par->width);
                props["PixelHeight"] = static_cast<int64_t>(par->height);
            }
            addPixelFormat(par->format, props);
        }
    }
    if (!props.count("PixelWidth")) return std::nullopt;
    return props;
}

std::shared_ptr<Image> ImageSource::createThumbnail(std::optional<int64_t> maxPixelSize) const {
    if (maxPixelSize && *maxPixelSize <= 0) return nullptr;
    const double limit = maxPixelSize ? static_cast<double>(*maxPixelSize) : 0;
    if (heif_) {
        auto heif = openHeif(path_);
        if (!heif) return nullptr;
        const int64_t w = heif_image_handle_get_width(heif->handle.get());
        const int64_t h = heif_image_handle_get_height(heif->handle.get());
        if (w <= 0 || h <= 0 || w * h > MediaDecoder::maxPixels) return nullptr;
        heif_image* decoded = nullptr;
        if (heif_decode_image(heif->handle.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr)
                .code != heif_error_Ok || !decoded)
            return nullptr;
        std::unique_ptr<heif_image, HeifImageFree> image(decoded);
        int stride = 0;
        const uint8_t* rgba = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
        return scaledImage(rgba, heif_image_get_width(image.get(), heif_channel_interleaved),
                           heif_image_get_height(image.get(), heif_channel_interleaved), stride, limit, limit);
    }
    auto decoder = path_.empty() ? MediaDecoder::open(data_, MediaDecoder::Kind::image)
                                 : MediaDecoder::open(path_, MediaDecoder::Kind::image);
    if (!decoder) return nullptr;
    const int index = firstVideoStream(*decoder);
    if (index < 0) return nullptr;
    // A JPEG decodes straight at 1/2, 1/4 or 1/8 of its size when that still covers the request.
    int lowres = 0;
    if (maxPixelSize && decoder->context()->streams[index]->codecpar->codec_id == AV_CODEC_ID_MJPEG) {
        ValueDictionary props;
        if (!path_.empty()) addMetadata(path_, props);
        const Value* w = find(props, "PixelWidth");
        const Value* h = find(props, "PixelHeight");
        if (w && h && w->asInt64() && h->asInt64()) {
            const int64_t longer = std::max(*w->asInt64(), *h->asInt64());
            while (lowres < 3 && (longer >> (lowres + 1)) >= *maxPixelSize) ++lowres;
        }
    }
    return decoder->picture(index, std::nullopt, limit, limit, lowres);
}

namespace {

uint32_t be32(std::string_view s, std::size_t at) {
    return (uint32_t{static_cast<uint8_t>(s[at])} << 24) | (uint32_t{static_cast<uint8_t>(s[at + 1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[at + 2])} << 8) | uint32_t{static_cast<uint8_t>(s[at + 3])};
}

void appendUTF8(std::string& out, uint32_t c) {
    if (c < 0x80) out += static_cast<char>(c);
    else if (c < 0x800) { out += static_cast<char>(0xC0 | (c >> 6)); out += static_cast<char>(0x80 | (c & 0x3F)); }
    else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::optional<std::string> iccProfileDescription(std::string_view p) {
    if (p.size() < 132) return std::nullopt;
    const uint32_t tags = be32(p, 128);
    for (uint64_t i = 0; i < tags; ++i) {
        const uint64_t entry = 132 + i * 12;
        if (entry + 12 > p.size()) return std::nullopt;
        if (p.substr(static_cast<std::size_t>(entry), 4) != "desc") continue;
        const uint64_t offset = be32(p, static_cast<std::size_t>(entry + 4));
        const uint64_t size = be32(p, static_cast<std::size_t>(entry + 8));
        if (offset + size > p.size() || size < 12) return std::nullopt;
        const std::string_view tag = p.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
        if (tag.substr(0, 4) == "desc") {
            const uint64_t count = be32(tag, 8);
            if (count == 0 || 12 + count > tag.size()) return std::nullopt;
            std::string text(tag.substr(12, static_cast<std::size_t>(count)));
            text = text.substr(0, text.find('\0'));
            if (text.empty()) return std::nullopt;
            return text;
        }
        if (tag.substr(0, 4) == "mluc") {
            if (tag.size() < 16) return std::nullopt;
            const uint32_t records = be32(tag, 8), recordSize = be32(tag, 12);
            if (records == 0 || recordSize < 12 || 16 + uint64_t{recordSize} > tag.size()) return std::nullopt;
            const uint64_t length = be32(tag, 20), at = be32(tag, 24);
            if (at + length > tag.size()) return std::nullopt;
            std::string text;
            for (uint64_t k = 0; k + 1 < length; k += 2) {
                uint32_t c = (uint32_t{static_cast<uint8_t>(tag[at + k])} << 8) | static_cast<uint8_t>(tag[at + k + 1]);
                if (c >= 0xD800 && c < 0xDC00 && k + 3 < length) {
                    const uint32_t low = (uint32_t{static_cast<uint8_t>(tag[at + k + 2])} << 8) | static_cast<uint8_t>(tag[at + k + 3]);
                    if (low >= 0xDC00 && low < 0xE000) {
                        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                        k += 2;
                    } else c = 0xFFFD;
                } else if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
                if (c == 0) break;
                appendUTF8(text, c);
            }
            if (text.empty()) return std::nullopt;
            return text;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace platform

#pragma GCC diagnostic pop
