// Thumbnails and property lists of still images: the image-source thumbnail rule, and the image's
// own, TIFF, Exif and GPS properties.
#include "fileprovider/info/InformationGenerators.hpp"

#include "platform/media/ImageSource.hpp"

namespace RiridOzizevud {

namespace fileinfo {

namespace {

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

} // namespace

std::shared_ptr<platform::Image> imageThumbnailOf(const URL& url, const std::optional<Size>& size) {
    const auto source = platform::ImageSource::make(url);
    if (!source) return nullptr;
    return Generator::imageSourceThumbnail(*source, size);
}

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
    if (w && h && w->asNumber() && h->asNumber()) addUnlessEmpty(p, "Dimensions", plainText(*w) + "x" + plainText(*h));
    addUnlessEmpty(p, "DPI", entry(*props, "DPIWidth"));
    addUnlessEmpty(p, "Device maker", entry(tiff, "Make"));
    addUnlessEmpty(p, "Device model", entry(tiff, "Model"));
    addUnlessEmpty(p, "Lens model", entry(exif, "LensModel"));
    addUnlessEmpty(p, "Artist", textEntry(tiff, "Artist"));
    addUnlessEmpty(p, "Copyright", textEntry(tiff, "Copyright"));
    addUnlessEmpty(p, "Date taken", entry(tiff, "DateTime"));
    const Value* lat = platform::find(gps, "Latitude");
    const Value* lon = platform::find(gps, "Longitude");
    if (lat && lon && lat->asNumber() && lon->asNumber()) {
        std::string location = decimalText(*lat->asNumber(), 2) + ", " + decimalText(*lon->asNumber(), 2);
        if (const Value* alt = platform::find(gps, "Altitude"); alt && alt->asNumber())
            location += " at " + decimalText(*alt->asNumber(), 0) + "m";
        addUnlessEmpty(p, "Location", location);
    }
    addUnlessEmpty(p, "Area", entry(gps, "AreaInformation"));
    addUnlessEmpty(p, "Color space", entry(*props, "ColorModel"));
    if (const Value* depth = platform::find(*props, "Depth"); depth && depth->asNumber())
        addUnlessEmpty(p, "Color depth", plainText(*depth) + " bits");
    addUnlessEmpty(p, "Color profile", entry(*props, "ProfileName"));
    addUnlessEmpty(p, "Focal length", entry(exif, "FocalLength"));
    addUnlessEmpty(p, "White banance", entry(exif, "WhiteBalance"));
    addUnlessEmpty(p, "F number", entry(exif, "FNumber"));
    addUnlessEmpty(p, "Exposure program", entry(exif, "ExposureProgram"));
    if (const Value* t = platform::find(exif, "ExposureTime"); t && t->asNumber())
        if (auto text = Generator::exposureTimeText(*t->asNumber())) addUnlessEmpty(p, "Exposure time", *text);
    if (const Value* iso = platform::find(exif, "ISOSpeedRatings"); iso && iso->asArray() && !iso->asArray()->empty())
        addUnlessEmpty(p, "ISO speed", iso->asArray()->front());
    return p;
}

} // namespace fileinfo

using namespace fileinfo;

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

} // namespace RiridOzizevud
