// RiridOzizevud::LocalFileInformationGenerator — thumbnails and property lists of local image,
// audio, video and PDF files, chosen by file extension. No instances: process-wide extension
// tables and generator closures that a host may replace at any time (reads and replacements are
// guarded, so a request sees either the old or the new value).
//
// A provider answers its ExtendedFileProvider requests with the four entry points at the end:
// support tests, and thumbnailOfFile / propertiesOfFile, which work on the provider's
// dispatch_queue on url(of: path) and call the completion exactly once with a nil error.
#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "platform/data/Date.hpp"
#include "platform/media/Geometry.hpp"
#include "platform/media/Image.hpp"
#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class ImageSource;
class PDFDocument;
}

namespace RiridOzizevud {

class LocalFileInformationGenerator {
public:
    LocalFileInformationGenerator() = delete;

    /// (file URL, target size) → image or nullptr.
    using ThumbnailGenerator =
        std::function<std::shared_ptr<platform::Image>(const platform::URL&, const std::optional<platform::Size>&)>;
    /// prop: label → value; keys: the labels in display order.
    struct Properties {
        platform::ValueDictionary prop;
        std::vector<std::string> keys;
    };
    /// An empty function stands for an absent generator.
    using PropertiesGenerator = std::function<Properties(const platform::URL&)>;
    using Extensions = std::vector<std::string>;

    // Extension tables: lower-case, without the dot.
    static Extensions imageThumbnailExtensions();
    static void setImageThumbnailExtensions(Extensions value);
    static Extensions audioThumbnailExtensions();
    static void setAudioThumbnailExtensions(Extensions value);
    static Extensions videoThumbnailExtensions();
    static void setVideoThumbnailExtensions(Extensions value);
    static Extensions pdfThumbnailExtensions();
    static void setPdfThumbnailExtensions(Extensions value);
    static Extensions officeThumbnailExtensions();
    static void setOfficeThumbnailExtensions(Extensions value);
    static Extensions customThumbnailExtensions();
    static void setCustomThumbnailExtensions(Extensions value);
    static Extensions imagePropertiesExtensions();
    static void setImagePropertiesExtensions(Extensions value);
    static Extensions audioPropertiesExtensions();
    static void setAudioPropertiesExtensions(Extensions value);
    static Extensions videoPropertiesExtensions();
    static void setVideoPropertiesExtensions(Extensions value);
    static Extensions pdfPropertiesExtensions();
    static void setPdfPropertiesExtensions(Extensions value);
    static Extensions archivePropertiesExtensions();
    static void setArchivePropertiesExtensions(Extensions value);
    static Extensions officePropertiesExtensions();
    static void setOfficePropertiesExtensions(Extensions value);
    static Extensions customPropertiesExtensions();
    static void setCustomPropertiesExtensions(Extensions value);

    // Thumbnail generators (never empty: setting an empty function restores no-image behaviour).
    static ThumbnailGenerator imageThumbnail();
    static void setImageThumbnail(ThumbnailGenerator value);
    static ThumbnailGenerator audioThumbnail();
    static void setAudioThumbnail(ThumbnailGenerator value);
    static ThumbnailGenerator videoThumbnail();
    static void setVideoThumbnail(ThumbnailGenerator value);
    static ThumbnailGenerator pdfThumbnail();
    static void setPdfThumbnail(ThumbnailGenerator value);
    static ThumbnailGenerator officeThumbnail();
    static void setOfficeThumbnail(ThumbnailGenerator value);
    static ThumbnailGenerator customThumbnail();
    static void setCustomThumbnail(ThumbnailGenerator value);

    // Property generators; archive, office and custom start absent.
    static PropertiesGenerator imageProperties();
    static void setImageProperties(PropertiesGenerator value);
    static PropertiesGenerator videoProperties();
    static void setVideoProperties(PropertiesGenerator value);
    static PropertiesGenerator pdfProperties();
    static void setPdfProperties(PropertiesGenerator value);
    static PropertiesGenerator archiveProperties();
    static void setArchiveProperties(PropertiesGenerator value);
    static PropertiesGenerator officeProperties();
    static void setOfficeProperties(PropertiesGenerator value);
    static PropertiesGenerator customProperties();
    static void setCustomProperties(PropertiesGenerator value);

    /// The thumbnail of an image source for a target size (the rule that picks the maximum pixel
    /// size from the image's own size); shared with other providers' thumbnail code.
    static std::shared_ptr<platform::Image> imageSourceThumbnail(const platform::ImageSource& source,
                                                                 const std::optional<platform::Size>& size);
    /// The first page of a PDF document fitted into a target size (its own box size in points
    /// without one); shared with other providers' preview code.
    static std::shared_ptr<platform::Image> pdfPageImage(const platform::PDFDocument& document,
                                                         const std::optional<platform::Size>& size);
    /// That rule alone: the requested width when the image is relatively taller than the request,
    /// else the requested height; max(w, h) when the image size is unknown.
    static double maximumPixelSize(std::optional<double> pixelWidth, std::optional<double> pixelHeight,
                                   platform::Size target);
    /// A PDF date text ("D:20200102030405+01'00'") as a date.
    static std::optional<platform::Date> pdfDate(const std::optional<std::string>& text);
    /// An exposure time in seconds as a reduced fraction ("1/250"); nullopt when it is negative,
    /// not finite or too large to count.
    static std::optional<std::string> exposureTimeText(double seconds);

    // --- Entry points of a provider ---
    /// The path's extension is in one of the six thumbnail tables.
    static bool thumbnailOfFileSupported(const std::string& path);
    /// The first properties table holding the path's extension has a generator.
    static bool propertiesOfFileSupported(const std::string& path);
    /// Synchronous forms: the generator chosen for the URL's extension (no dimension: 64 × 64).
    static std::shared_ptr<platform::Image> thumbnail(const platform::URL& fileURL,
                                                      const std::optional<platform::Size>& dimension);
    static Properties properties(const platform::URL& fileURL);
    /// On the provider's dispatch_queue: completion(image or nullptr, nullptr). Returns nullptr.
    static ProgressRef thumbnailOfFile(const FileProviderBasic& provider, const std::string& path,
                                       const std::optional<platform::Size>& dimension,
                                       ExtendedFileProvider::ThumbnailCompletionHandler completionHandler);
    /// On the provider's dispatch_queue: completion(prop, keys, nullptr). Returns nullptr.
    static ProgressRef propertiesOfFile(const FileProviderBasic& provider, const std::string& path,
                                        ExtendedFileProvider::PropertiesCompletionHandler completionHandler);
};

} // namespace RiridOzizevud
