#include "fileprovider/info/LocalFileInformationGenerator.hpp"

#include "fileprovider/info/InformationGenerators.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

namespace RiridOzizevud {

using namespace fileinfo;

namespace {

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

Generator::ThumbnailGenerator orNoImage(Generator::ThumbnailGenerator g) {
    if (g) return g;
    return [](const URL&, const std::optional<Size>&) { return nullptr; };
}

} // namespace

Generator::PropertiesGenerator fileinfo::audioPropertiesGenerator() { return read(&Tables::audioPropertiesGen); }

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
namespace {

// The generator of the first thumbnail table holding `ext`, in the order video, audio, image, pdf,
// office, custom; nullptr when none does. Read under the tables' lock.
const Generator::ThumbnailGenerator* thumbnailGeneratorOf(const Tables& t, const std::string& ext) {
    const std::pair<const Generator::Extensions*, const Generator::ThumbnailGenerator*> order[] = {
        {&t.videoThumbnail, &t.videoThumbnailGen}, {&t.audioThumbnail, &t.audioThumbnailGen},
        {&t.imageThumbnail, &t.imageThumbnailGen}, {&t.pdfThumbnail, &t.pdfThumbnailGen},
        {&t.officeThumbnail, &t.officeThumbnailGen}, {&t.customThumbnail, &t.customThumbnailGen}};
    for (const auto& [table, generator] : order)
        if (holds(*table, ext)) return generator;
    return nullptr;
}

// The generator slot of the first properties table holding `ext`, in the order image, audio, video,
// pdf, archive, office, custom (the slot may hold no generator); nullptr when none does. Read under
// the tables' lock.
const Generator::PropertiesGenerator* propertiesGeneratorOf(const Tables& t, const std::string& ext) {
    const std::pair<const Generator::Extensions*, const Generator::PropertiesGenerator*> order[] = {
        {&t.imageProperties, &t.imagePropertiesGen},     {&t.audioProperties, &t.audioPropertiesGen},
        {&t.videoProperties, &t.videoPropertiesGen},     {&t.pdfProperties, &t.pdfPropertiesGen},
        {&t.archiveProperties, &t.archivePropertiesGen}, {&t.officeProperties, &t.officePropertiesGen},
        {&t.customProperties, &t.customPropertiesGen}};
    for (const auto& [table, generator] : order)
        if (holds(*table, ext)) return generator;
    return nullptr;
}

} // namespace

bool Generator::thumbnailOfFileSupported(const std::string& path) {
    const std::string ext = extensionOf(path);
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    return thumbnailGeneratorOf(t, ext) != nullptr;
}

bool Generator::propertiesOfFileSupported(const std::string& path) {
    const std::string ext = extensionOf(path);
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    const PropertiesGenerator* generator = propertiesGeneratorOf(t, ext);
    return generator && *generator;
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
        if (const ThumbnailGenerator* found = thumbnailGeneratorOf(t, ext)) generator = *found;
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
        if (const PropertiesGenerator* found = propertiesGeneratorOf(t, ext)) generator = *found;
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
