#include "fileprovider/info/LocalFileInformationGenerator.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/fs/FileManager.hpp"
#include "platform/media/ImageSource.hpp"
#include "platform/media/MediaAsset.hpp"
#include "platform/media/PDFDocument.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <mutex>
#include <numeric>

namespace RiridOzizevud {

using platform::Size;
using platform::URL;
using platform::Value;
using platform::ValueDictionary;
using Generator = LocalFileInformationGenerator;

namespace {

// ---- Shared text helpers ----

using platform::lowercased;

// The text after the last "." of the last path component, lower-cased; "" when there is none. A
// leading "." marks a hidden name, not an extension (".jpg" has none), as URL::pathExtension has it:
// the support tests and the requests read extensions by this one rule, so they always agree.
std::string extensionOf(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.find_last_of('/');
    const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = last.find_last_of('.');
    if (dot == std::string::npos || dot == 0) return "";
    return lowercased(last.substr(dot + 1));
}

bool holds(const Generator::Extensions& table, const std::string& ext) {
    return !ext.empty() && std::find(table.begin(), table.end(), ext) != table.end();
}

// Decimal style: grouping by thousands with ",", at most `fractionDigits` digits after the point
// (halves to even), no trailing zeros.
std::string decimalText(double value, int fractionDigits) {
    if (!std::isfinite(value)) return "NaN";
    const double factor = std::pow(10.0, fractionDigits);
    double rounded = std::nearbyint(value * factor);
    const bool negative = rounded < 0;
    rounded = std::fabs(rounded);
    if (rounded >= 9.0e15) {
        char buf[400];
        std::snprintf(buf, sizeof buf, "%.0f", value);
        return buf;
    }
    auto units = static_cast<long long>(rounded);
    const auto scale = static_cast<long long>(factor);
    const long long whole = units / scale;
    long long fraction = units % scale;
    std::string digits = std::to_string(whole);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    std::string text = (negative && units != 0 ? "-" : "") + grouped;
    if (fraction > 0) {
        std::string f = std::to_string(fraction);
        f.insert(0, static_cast<std::size_t>(fractionDigits) - f.size(), '0');
        while (!f.empty() && f.back() == '0') f.pop_back();
        text += "." + f;
    }
    return text;
}

// Whole numbers within range as integer text; other values as the shortest text.
std::string plainText(const Value& v) {
    if (const int64_t* i = v.asInt64()) return std::to_string(*i);
    if (const double* d = v.asDouble()) {
        if (std::trunc(*d) == *d && std::fabs(*d) < 9.0e15) return std::to_string(static_cast<long long>(*d));
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", *d);
        return buf;
    }
    return "";
}

// Rule A: nothing for an absent value or an empty text.
void addA(Generator::Properties& p, const std::string& label, std::optional<Value> value) {
    if (!value || value->isNull()) return;
    if (const std::string* s = value->asString(); s && s->empty()) return;
    p.keys.push_back(label);
    p.prop[label] = std::move(*value);
}

// Rule B: nothing for an absent value.
void addB(Generator::Properties& p, const std::string& label, std::optional<Value> value) {
    if (!value || value->isNull()) return;
    p.keys.push_back(label);
    p.prop[label] = std::move(*value);
}

const ValueDictionary& subDictionary(const ValueDictionary& props, const char* key) {
    static const ValueDictionary empty;
    const Value* v = platform::find(props, key);
    return v && v->asDictionary() ? *v->asDictionary() : empty;
}

std::optional<Value> entry(const ValueDictionary& d, const char* key) {
    const Value* v = platform::find(d, key);
    if (!v) return std::nullopt;
    return *v;
}

std::optional<Value> textEntry(const ValueDictionary& d, const char* key) {
    const Value* v = platform::find(d, key);
    if (!v || !v->asString()) return std::nullopt;
    return *v;
}

// A count that fits an integer; nullopt for values that are not finite or out of range.
std::optional<int64_t> truncated(double d) {
    if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) return std::nullopt;
    return static_cast<int64_t>(d);
}

// ---- Generators ----

std::shared_ptr<platform::Image> imageThumbnailOf(const URL& url, const std::optional<Size>& size) {
    const auto source = platform::ImageSource::make(url);
    if (!source) return nullptr;
    return Generator::imageSourceThumbnail(*source, size);
}

std::shared_ptr<platform::Image> audioThumbnailOf(const URL& url, const std::optional<Size>& size) {
    const auto asset = platform::MediaAsset::make(url);
    if (!asset) return nullptr;
    for (const auto& item : asset->commonMetadata()) {
        if (item.commonKey != platform::MediaAsset::commonKeyArtwork || !item.dataValue) continue;
        const auto source = platform::ImageSource::make(*item.dataValue);
        if (!source) return nullptr;
        return Generator::imageSourceThumbnail(*source, size);
    }
    return nullptr;
}

std::shared_ptr<platform::Image> videoThumbnailOf(const URL& url, const std::optional<Size>& size) {
    const auto asset = platform::MediaAsset::make(url);
    if (!asset) return nullptr;
    const Size maximum = size.value_or(Size{});
    if (!std::isfinite(maximum.width) || !std::isfinite(maximum.height)) return nullptr;
    platform::MediaTime time = asset->duration();
    time.value /= 3;
    return asset->copyImage(time, maximum, true);
}

std::shared_ptr<platform::Image> pdfThumbnailOf(const URL& url, const std::optional<Size>& size) {
    if (!url.isFileURL()) return nullptr;
    const auto document = platform::PDFDocument::make(url);
    if (!document) return nullptr;
    return Generator::pdfPageImage(*document, size);
}

} // namespace

std::shared_ptr<platform::Image> Generator::pdfPageImage(const platform::PDFDocument& document,
                                                         const std::optional<Size>& size) {
    const auto box = document.mediaBox(0);
    if (!box) return nullptr;
    const auto [boxWidth, boxHeight] = *box;
    // There is no screen to take a backing scale from.
    const double scale = size ? std::min(size->height / boxHeight, size->width / boxWidth) : 1.0;
    const auto pixelWidth = truncated(boxWidth * scale), pixelHeight = truncated(boxHeight * scale);
    if (!pixelWidth || !pixelHeight || *pixelWidth <= 0 || *pixelHeight <= 0) return nullptr;
    if (*pixelWidth > std::numeric_limits<int>::max() || *pixelHeight > std::numeric_limits<int>::max()) return nullptr;
    return document.render(0, scale, static_cast<int>(*pixelWidth), static_cast<int>(*pixelHeight));
}

namespace {

Generator::Properties imagePropertiesOf(const URL& url) {
    Generator::Properties p;
    const auto source = platform::ImageSource::make(url);
    if (!source) return p;
    const auto props = source->properties();
    if (!props) return p;
    const ValueDictionary& tiff = subDictionary(*props, "{TIFF}");
    const ValueDictionary& exif = subDictionary(*props, "{Exif}");
    const ValueDictionary& gps = subDictionary(*props, "{GPS}");

    const Value* w = platform::find(*props, "PixelWidth");
    const Value* h = platform::find(*props, "PixelHeight");
    if (w && h && w->asNumber() && h->asNumber()) addA(p, "Dimensions", plainText(*w) + "x" + plainText(*h));
    addA(p, "DPI", entry(*props, "DPIWidth"));
    addA(p, "Device maker", entry(tiff, "Make"));
    addA(p, "Device model", entry(tiff, "Model"));
    addA(p, "Lens model", entry(exif, "LensModel"));
    addA(p, "Artist", textEntry(tiff, "Artist"));
    addA(p, "Copyright", textEntry(tiff, "Copyright"));
    addA(p, "Date taken", entry(tiff, "DateTime"));
    const Value* lat = platform::find(gps, "Latitude");
    const Value* lon = platform::find(gps, "Longitude");
    if (lat && lon && lat->asNumber() && lon->asNumber()) {
        std::string location = decimalText(*lat->asNumber(), 2) + ", " + decimalText(*lon->asNumber(), 2);
        if (const Value* alt = platform::find(gps, "Altitude"); alt && alt->asNumber())
            location += " at " + decimalText(*alt->asNumber(), 0) + "m";
        addA(p, "Location", location);
    }
    addA(p, "Area", entry(gps, "AreaInformation"));
    addA(p, "Color space", entry(*props, "ColorModel"));
    if (const Value* depth = platform::find(*props, "Depth"); depth && depth->asNumber())
        addA(p, "Color depth", plainText(*depth) + " bits");
    addA(p, "Color profile", entry(*props, "ProfileName"));
    addA(p, "Focal length", entry(exif, "FocalLength"));
    addA(p, "White banance", entry(exif, "WhiteBalance"));
    addA(p, "F number", entry(exif, "FNumber"));
    addA(p, "Exposure program", entry(exif, "ExposureProgram"));
    if (const Value* t = platform::find(exif, "ExposureTime"); t && t->asNumber())
        if (auto text = Generator::exposureTimeText(*t->asNumber())) addA(p, "Exposure time", *text);
    if (const Value* iso = platform::find(exif, "ISOSpeedRatings"); iso && iso->asArray() && !iso->asArray()->empty())
        addA(p, "ISO speed", iso->asArray()->front());
    return p;
}

// "albumName" → "Album Name": a space between a lower-case and an upper-case letter, then every
// word capitalised.
std::string labelOf(const std::string& key) {
    std::string spaced;
    for (std::size_t i = 0; i < key.size(); ++i) {
        spaced += key[i];
        if (i + 1 < key.size() && std::islower(static_cast<unsigned char>(key[i])) &&
            std::isupper(static_cast<unsigned char>(key[i + 1])))
            spaced += ' ';
    }
    bool wordStart = true;
    for (auto& c : spaced) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isspace(u)) { wordStart = true; continue; }
        c = static_cast<char>(wordStart ? std::toupper(u) : std::tolower(u));
        wordStart = false;
    }
    return spaced;
}

// One number as a scanner reads it: spaces skipped, an optional sign, digits with an optional
// fraction and exponent.
std::optional<double> scanDouble(const std::string& s, std::size_t& at) {
    std::size_t i = at;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    const std::size_t start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; ++digits; }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; ++digits; }
    }
    if (digits == 0) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
            while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
            i = j;
        }
    }
    const double d = std::strtod(s.substr(start, i - start).c_str(), nullptr);
    if (!std::isfinite(d)) return std::nullopt;
    at = i;
    return d;
}

std::optional<std::string> locationText(const std::string& text) {
    std::size_t at = 0;
    const auto latitude = scanDouble(text, at);
    if (!latitude) return std::nullopt;
    const auto longitude = scanDouble(text, at);
    if (!longitude) return std::nullopt;
    const auto altitude = scanDouble(text, at);
    std::string out = decimalText(*latitude, 2) + "°, " + decimalText(*longitude, 2) + "°";
    if (altitude) out += ", " + decimalText(*altitude, 0) + "m";
    return out;
}

Generator::Properties audioPropertiesOf(const URL& url) {
    Generator::Properties p;
    if (!url.isFileURL()) return p;
    try {
        if (!platform::FileManager::checkResourceIsReachable(url)) return p;
    } catch (const platform::Exception&) {
        return p;
    }
    const auto asset = platform::MediaAsset::make(url);
    if (!asset) return p;
    for (const auto& item : asset->commonMetadata()) {
        if (!item.commonKey) continue;
        std::optional<Value> value;
        const std::string* text = item.value.asString();
        if (*item.commonKey == platform::MediaAsset::commonKeyLocation && text) {
            if (auto location = locationText(*text)) value = Value(*location);
        }
        if (!value) {
            if (item.value.asDate() || item.value.asNumber() || text) value = item.value;
        }
        addB(p, labelOf(*item.commonKey), std::move(value));
    }
    if (const auto player = asset->audioPlayer()) {
        addB(p, "Duration", Value(formatted(player->duration)));
        if (player->sampleRate) addB(p, "Bitrate", Value(*player->sampleRate));
    }
    return p;
}

std::string kbps(double bitsPerSecond) {
    const auto k = truncated(std::ceil(bitsPerSecond / 1000));
    return std::to_string(k.value_or(0)) + " kbps";
}

Generator::PropertiesGenerator audioPropertiesGenerator();

Generator::Properties videoPropertiesOf(const URL& url) {
    Generator::Properties p;
    if (auto audio = audioPropertiesGenerator()) {
        p = audio(url);
        p.prop.erase("Duration");
        if (auto it = std::find(p.keys.begin(), p.keys.end(), "Duration"); it != p.keys.end()) p.keys.erase(it);
    }
    const auto asset = url.isFileURL() ? platform::MediaAsset::make(url) : nullptr;
    using Type = platform::MediaAsset::MediaType;
    if (asset) {
        const auto video = asset->tracks(Type::video);
        if (!video.empty()) {
            const auto w = truncated(video.front().naturalSize.width), h = truncated(video.front().naturalSize.height);
            if (w && h) addB(p, "Dimensions", Value(std::to_string(*w) + "x" + std::to_string(*h)));
            int64_t seconds = 0;
            double rate = 0;
            for (const auto& track : video) {
                if (track.timeRangeDuration.timescale > 0)
                    seconds += track.timeRangeDuration.value / track.timeRangeDuration.timescale;
                rate += track.estimatedDataRate;
            }
            addB(p, "Duration", Value(formatted(static_cast<double>(seconds))));
            addB(p, "Video Bitrate", Value(kbps(rate)));
        }
    }
    double audioRate = 0;
    if (asset)
        for (const auto& track : asset->tracks(Type::audio)) audioRate += track.estimatedDataRate;
    addB(p, "Audio Bitrate", Value(kbps(audioRate)));
    return p;
}

Generator::Properties pdfPropertiesOf(const URL& url) {
    Generator::Properties p;
    const auto document = platform::PDFDocument::make(url);
    if (!document) return p;
    const auto text = [&](const char* key) -> std::optional<Value> {
        if (auto s = document->infoString(key)) return Value(*s);
        return std::nullopt;
    };
    if (!document->hasInfo()) return p;
    for (const char* key : {"Title", "Author", "Subject", "Producer", "Keywords"}) addA(p, key, text(key));
    const auto [major, minor] = document->version();
    if (major > 0) addA(p, "Version", Value(std::to_string(major) + "." + std::to_string(minor)));
    addA(p, "Pages", Value(static_cast<int64_t>(document->pageCount())));
    if (const auto box = document->mediaBox(0)) {
        const auto w = truncated(box->first), h = truncated(box->second);
        if (w && h) addA(p, "Resolution", Value(std::to_string(*w) + "x" + std::to_string(*h)));
    }
    addA(p, "Content creator", text("Creator"));
    if (auto d = Generator::pdfDate(document->infoString("CreationDate"))) addA(p, "Creation date", Value(*d));
    if (auto d = Generator::pdfDate(document->infoString("ModDate"))) addA(p, "Modified date", Value(*d));
    const char* security = !document->isEncrypted() ? "None" : document->isLocked() ? "Password Protected" : "Present";
    addA(p, "Security", Value(security));
    addA(p, "Allows printing", Value(document->allowsPrinting()));
    addA(p, "Allows copying", Value(document->allowsCopying()));
    return p;
}

// ---- Process-wide state ----

struct Tables {
    std::mutex lock;
    Generator::Extensions imageThumbnail{"heic", "jpg", "jpeg", "gif", "bmp", "png", "tif", "tiff", "ico"};
    Generator::Extensions audioThumbnail{"mp1", "mp2",  "mp3",  "mpa",  "mpga", "m1a", "m2a", "m4a", "m4b", "m4p",
                                         "m4r", "aac",  "snd",  "caf",  "aa",   "aax", "adts", "aif", "aifc", "aiff",
                                         "au",  "flac", "amr",  "wav",  "wave", "bwf", "ac3", "eac3", "ec3", "cdda"};
    Generator::Extensions videoThumbnail{"mov", "mp4", "mpg4", "m4v",  "mqv",  "mpg",  "mpeg",
                                         "avi", "vfw", "3g2",  "3gp",  "3gp2", "3gpp", "qt"};
    Generator::Extensions pdfThumbnail{"pdf"};
    Generator::Extensions officeThumbnail, customThumbnail;
    Generator::Extensions imageProperties{"heic", "jpg", "jpeg", "bmp", "gif", "png", "tif", "tiff"};
    Generator::Extensions audioProperties = audioThumbnail;
    Generator::Extensions videoProperties = videoThumbnail;
    Generator::Extensions pdfProperties = pdfThumbnail;
    Generator::Extensions archiveProperties, officeProperties, customProperties;

    Generator::ThumbnailGenerator imageThumbnailGen = imageThumbnailOf;
    Generator::ThumbnailGenerator audioThumbnailGen = audioThumbnailOf;
    Generator::ThumbnailGenerator videoThumbnailGen = videoThumbnailOf;
    Generator::ThumbnailGenerator pdfThumbnailGen = pdfThumbnailOf;
    Generator::ThumbnailGenerator officeThumbnailGen = [](const URL&, const std::optional<Size>&) { return nullptr; };
    Generator::ThumbnailGenerator customThumbnailGen = officeThumbnailGen;

    Generator::PropertiesGenerator imagePropertiesGen = imagePropertiesOf;
    Generator::PropertiesGenerator audioPropertiesGen = audioPropertiesOf;
    Generator::PropertiesGenerator videoPropertiesGen = videoPropertiesOf;
    Generator::PropertiesGenerator pdfPropertiesGen = pdfPropertiesOf;
    Generator::PropertiesGenerator archivePropertiesGen, officePropertiesGen, customPropertiesGen;
};

Tables& tables() {
    static Tables t;
    return t;
}

template <class T> T read(T Tables::*member) {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.*member;
}

template <class T> void write(T Tables::*member, T value) {
    Tables& t = tables();
    T old;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        old = std::exchange(t.*member, std::move(value));
    }
    // `old` (possibly a host closure) is destroyed outside the lock.
}

Generator::PropertiesGenerator audioPropertiesGenerator() { return read(&Tables::audioPropertiesGen); }

Generator::ThumbnailGenerator orNoImage(Generator::ThumbnailGenerator g) {
    if (g) return g;
    return [](const URL&, const std::optional<Size>&) { return nullptr; };
}

} // namespace

Generator::Extensions Generator::imageThumbnailExtensions() { return read(&Tables::imageThumbnail); }
void Generator::setImageThumbnailExtensions(Extensions v) { write(&Tables::imageThumbnail, std::move(v)); }
Generator::Extensions Generator::audioThumbnailExtensions() { return read(&Tables::audioThumbnail); }
void Generator::setAudioThumbnailExtensions(Extensions v) { write(&Tables::audioThumbnail, std::move(v)); }
Generator::Extensions Generator::videoThumbnailExtensions() { return read(&Tables::videoThumbnail); }
void Generator::setVideoThumbnailExtensions(Extensions v) { write(&Tables::videoThumbnail, std::move(v)); }
Generator::Extensions Generator::pdfThumbnailExtensions() { return read(&Tables::pdfThumbnail); }
void Generator::setPdfThumbnailExtensions(Extensions v) { write(&Tables::pdfThumbnail, std::move(v)); }
Generator::Extensions Generator::officeThumbnailExtensions() { return read(&Tables::officeThumbnail); }
void Generator::setOfficeThumbnailExtensions(Extensions v) { write(&Tables::officeThumbnail, std::move(v)); }
Generator::Extensions Generator::customThumbnailExtensions() { return read(&Tables::customThumbnail); }
void Generator::setCustomThumbnailExtensions(Extensions v) { write(&Tables::customThumbnail, std::move(v)); }
Generator::Extensions Generator::imagePropertiesExtensions() { return read(&Tables::imageProperties); }
void Generator::setImagePropertiesExtensions(Extensions v) { write(&Tables::imageProperties, std::move(v)); }
Generator::Extensions Generator::audioPropertiesExtensions() { return read(&Tables::audioProperties); }
void Generator::setAudioPropertiesExtensions(Extensions v) { write(&Tables::audioProperties, std::move(v)); }
Generator::Extensions Generator::videoPropertiesExtensions() { return read(&Tables::videoProperties); }
void Generator::setVideoPropertiesExtensions(Extensions v) { write(&Tables::videoProperties, std::move(v)); }
Generator::Extensions Generator::pdfPropertiesExtensions() { return read(&Tables::pdfProperties); }
void Generator::setPdfPropertiesExtensions(Extensions v) { write(&Tables::pdfProperties, std::move(v)); }
Generator::Extensions Generator::archivePropertiesExtensions() { return read(&Tables::archiveProperties); }
void Generator::setArchivePropertiesExtensions(Extensions v) { write(&Tables::archiveProperties, std::move(v)); }
Generator::Extensions Generator::officePropertiesExtensions() { return read(&Tables::officeProperties); }
void Generator::setOfficePropertiesExtensions(Extensions v) { write(&Tables::officeProperties, std::move(v)); }
Generator::Extensions Generator::customPropertiesExtensions() { return read(&Tables::customProperties); }
void Generator::setCustomPropertiesExtensions(Extensions v) { write(&Tables::customProperties, std::move(v)); }

Generator::ThumbnailGenerator Generator::imageThumbnail() { return read(&Tables::imageThumbnailGen); }
void Generator::setImageThumbnail(ThumbnailGenerator v) { write(&Tables::imageThumbnailGen, orNoImage(std::move(v))); }
Generator::ThumbnailGenerator Generator::audioThumbnail() { return read(&Tables::audioThumbnailGen); }
void Generator::setAudioThumbnail(ThumbnailGenerator v) { write(&Tables::audioThumbnailGen, orNoImage(std::move(v))); }
Generator::ThumbnailGenerator Generator::videoThumbnail() { return read(&Tables::videoThumbnailGen); }
void Generator::setVideoThumbnail(ThumbnailGenerator v) { write(&Tables::videoThumbnailGen, orNoImage(std::move(v))); }
Generator::ThumbnailGenerator Generator::pdfThumbnail() { return read(&Tables::pdfThumbnailGen); }
void Generator::setPdfThumbnail(ThumbnailGenerator v) { write(&Tables::pdfThumbnailGen, orNoImage(std::move(v))); }
Generator::ThumbnailGenerator Generator::officeThumbnail() { return read(&Tables::officeThumbnailGen); }
void Generator::setOfficeThumbnail(ThumbnailGenerator v) { write(&Tables::officeThumbnailGen, orNoImage(std::move(v))); }
Generator::ThumbnailGenerator Generator::customThumbnail() { return read(&Tables::customThumbnailGen); }
void Generator::setCustomThumbnail(ThumbnailGenerator v) { write(&Tables::customThumbnailGen, orNoImage(std::move(v))); }

Generator::PropertiesGenerator Generator::imageProperties() { return read(&Tables::imagePropertiesGen); }
void Generator::setImageProperties(PropertiesGenerator v) { write(&Tables::imagePropertiesGen, std::move(v)); }
Generator::PropertiesGenerator Generator::videoProperties() { return read(&Tables::videoPropertiesGen); }
void Generator::setVideoProperties(PropertiesGenerator v) { write(&Tables::videoPropertiesGen, std::move(v)); }
Generator::PropertiesGenerator Generator::pdfProperties() { return read(&Tables::pdfPropertiesGen); }
void Generator::setPdfProperties(PropertiesGenerator v) { write(&Tables::pdfPropertiesGen, std::move(v)); }
Generator::PropertiesGenerator Generator::archiveProperties() { return read(&Tables::archivePropertiesGen); }
void Generator::setArchiveProperties(PropertiesGenerator v) { write(&Tables::archivePropertiesGen, std::move(v)); }
Generator::PropertiesGenerator Generator::officeProperties() { return read(&Tables::officePropertiesGen); }
void Generator::setOfficeProperties(PropertiesGenerator v) { write(&Tables::officePropertiesGen, std::move(v)); }
Generator::PropertiesGenerator Generator::customProperties() { return read(&Tables::customPropertiesGen); }
void Generator::setCustomProperties(PropertiesGenerator v) { write(&Tables::customPropertiesGen, std::move(v)); }

double Generator::maximumPixelSize(std::optional<double> pixelWidth, std::optional<double> pixelHeight, Size target) {
    const double w = target.width, h = target.height;
    if (pixelWidth && pixelHeight) return *pixelHeight / h > *pixelWidth / w ? w : h;
    return w > h ? w : h;
}

std::shared_ptr<platform::Image> Generator::imageSourceThumbnail(const platform::ImageSource& source,
                                                                 const std::optional<Size>& size) {
    if (!size) return source.createThumbnail(std::nullopt);
    std::optional<double> width, height;
    if (const auto props = source.properties()) {
        const Value* w = platform::find(*props, "PixelWidth");
        const Value* h = platform::find(*props, "PixelHeight");
        if (w && h && w->asNumber() && h->asNumber()) {
            width = w->asNumber();
            height = h->asNumber();
        }
    }
    const double maxPixelSize = maximumPixelSize(width, height, *size);
    // A size that is not a positive count draws nothing rather than an unbounded image.
    const auto limit = truncated(maxPixelSize);
    if (!limit || *limit <= 0) return nullptr;
    return source.createThumbnail(*limit);
}

std::optional<platform::Date> Generator::pdfDate(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    std::string s;
    for (char c : *text)
        if (c != '\'') s += c;
    if (s.rfind("D:", 0) == 0) s.erase(0, 2);
    if (s.size() < 14 || !std::all_of(s.begin(), s.begin() + 14, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    const auto num = [&](std::size_t at, std::size_t n) { return std::stoi(s.substr(at, n)); };
    const int year = num(0, 4), month = num(4, 2), day = num(6, 2), hour = num(8, 2), minute = num(10, 2), second = num(12, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    std::string zone = s.substr(14);
    // Offset from UTC in seconds of the zone part, in the forms the four patterns take:
    // "T" + "+hhmm"; "Z", "+hh", "+hhmm", "+hh:mm"; "+hhmm"; nothing (local time).
    std::optional<long> offset;
    bool local = false;
    const auto numericZone = [](const std::string& z) -> std::optional<long> {
        if (z.size() < 3 || (z[0] != '+' && z[0] != '-')) return std::nullopt;
        std::string digits;
        for (std::size_t i = 1; i < z.size(); ++i) {
            if (std::isdigit(static_cast<unsigned char>(z[i]))) digits += z[i];
            else if (!(z[i] == ':' && i == 3)) return std::nullopt;
        }
        if (digits.size() != 2 && digits.size() != 4) return std::nullopt;
        const long hh = std::stol(digits.substr(0, 2)), mm = digits.size() == 4 ? std::stol(digits.substr(2)) : 0;
        if (hh > 23 || mm > 59) return std::nullopt;
        return (z[0] == '-' ? -1 : 1) * (hh * 3600 + mm * 60);
    };
    if (zone.empty()) local = true;
    else if (zone == "Z") offset = 0;
    else if (zone[0] == 'T') offset = numericZone(zone.substr(1));
    else offset = numericZone(zone);
    if (!local && !offset) return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    // A day past the month's end (February 30) is refused rather than rolled over.
    std::tm check = tm;
    const time_t t = local ? std::mktime(&check) : timegm(&check);
    if (check.tm_mday != day || check.tm_mon != month - 1) return std::nullopt;
    return platform::Date::since1970(static_cast<double>(t) - static_cast<double>(offset.value_or(0)));
}

std::optional<std::string> Generator::exposureTimeText(double seconds) {
    constexpr int64_t denominator = 1163962800000;
    if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
    const auto x = truncated(seconds * static_cast<double>(denominator));
    if (!x) return std::nullopt;
    const int64_t g = std::gcd(*x, denominator);
    return std::to_string(*x / g) + "/" + std::to_string(denominator / g);
}

bool Generator::thumbnailOfFileSupported(const std::string& path) {
    const std::string ext = extensionOf(path);
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    return holds(t.imageThumbnail, ext) || holds(t.audioThumbnail, ext) || holds(t.videoThumbnail, ext) ||
           holds(t.pdfThumbnail, ext) || holds(t.officeThumbnail, ext) || holds(t.customThumbnail, ext);
}

bool Generator::propertiesOfFileSupported(const std::string& path) {
    const std::string ext = extensionOf(path);
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    const std::pair<const Extensions*, const PropertiesGenerator*> order[] = {
        {&t.imageProperties, &t.imagePropertiesGen},     {&t.audioProperties, &t.audioPropertiesGen},
        {&t.videoProperties, &t.videoPropertiesGen},     {&t.pdfProperties, &t.pdfPropertiesGen},
        {&t.archiveProperties, &t.archivePropertiesGen}, {&t.officeProperties, &t.officePropertiesGen},
        {&t.customProperties, &t.customPropertiesGen}};
    for (const auto& [table, generator] : order)
        if (holds(*table, ext)) return static_cast<bool>(*generator);
    return false;
}

std::shared_ptr<platform::Image> Generator::thumbnail(const URL& fileURL, const std::optional<Size>& dimension) {
    const Size size = dimension.value_or(Size{64, 64});
    // A request that is no size at all would draw the whole picture.
    if (!std::isfinite(size.width) || !std::isfinite(size.height) || size.width < 0 || size.height < 0) return nullptr;
    const std::string ext = extensionOf(fileURL.path());
    ThumbnailGenerator generator;
    {
        Tables& t = tables();
        std::lock_guard<std::mutex> guard(t.lock);
        if (holds(t.videoThumbnail, ext)) generator = t.videoThumbnailGen;
        else if (holds(t.audioThumbnail, ext)) generator = t.audioThumbnailGen;
        else if (holds(t.imageThumbnail, ext)) generator = t.imageThumbnailGen;
        else if (holds(t.pdfThumbnail, ext)) generator = t.pdfThumbnailGen;
        else if (holds(t.officeThumbnail, ext)) generator = t.officeThumbnailGen;
        else if (holds(t.customThumbnail, ext)) generator = t.customThumbnailGen;
    }
    if (!generator) return nullptr;
    return generator(fileURL, size);
}

Generator::Properties Generator::properties(const URL& fileURL) {
    const std::string ext = extensionOf(fileURL.path());
    PropertiesGenerator generator;
    {
        Tables& t = tables();
        std::lock_guard<std::mutex> guard(t.lock);
        if (holds(t.imageProperties, ext)) generator = t.imagePropertiesGen;
        else if (holds(t.audioProperties, ext)) generator = t.audioPropertiesGen;
        else if (holds(t.videoProperties, ext)) generator = t.videoPropertiesGen;
        else if (holds(t.pdfProperties, ext)) generator = t.pdfPropertiesGen;
        else if (holds(t.archiveProperties, ext)) generator = t.archivePropertiesGen;
        else if (holds(t.officeProperties, ext)) generator = t.officePropertiesGen;
        else if (holds(t.customProperties, ext)) generator = t.customPropertiesGen;
    }
    if (!generator) return {};
    return generator(fileURL);
}

namespace {

std::shared_ptr<platform::DispatchQueue> queueOf(const FileProviderBasic& provider) {
    auto queue = provider.dispatch_queue();
    return queue ? queue : platform::DispatchQueue::global();
}

// A generator that throws (a host's, or a library's allocation failure) still completes the request.
template <class F, class R> R guarded(F&& f, R fallback) {
    try {
        return f();
    } catch (...) {
        return fallback;
    }
}

} // namespace

ProgressRef Generator::thumbnailOfFile(const FileProviderBasic& provider, const std::string& path,
                                       const std::optional<Size>& dimension,
                                       ExtendedFileProvider::ThumbnailCompletionHandler completionHandler) {
    const URL fileURL = provider.url(path);
    queueOf(provider)->async([fileURL, dimension, completionHandler = std::move(completionHandler)] {
        auto image = guarded([&] { return thumbnail(fileURL, dimension); }, std::shared_ptr<platform::Image>());
        if (completionHandler) completionHandler(std::move(image), nullptr);
    });
    return nullptr;
}

ProgressRef Generator::propertiesOfFile(const FileProviderBasic& provider, const std::string& path,
                                        ExtendedFileProvider::PropertiesCompletionHandler completionHandler) {
    const URL fileURL = provider.url(path);
    queueOf(provider)->async([fileURL, completionHandler = std::move(completionHandler)] {
        auto result = guarded([&] { return properties(fileURL); }, Properties{});
        if (completionHandler) completionHandler(std::move(result.prop), std::move(result.keys), nullptr);
    });
    return nullptr;
}

} // namespace RiridOzizevud
