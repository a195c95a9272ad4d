// Thumbnails and property lists of PDF files: the first page drawn to a size, and the document's
// information, version, pages and permissions.
#include "fileprovider/info/InformationGenerators.hpp"

#include "platform/media/PDFDocument.hpp"

#include <algorithm>
#include <limits>

namespace RiridOzizevud {

namespace fileinfo {

std::shared_ptr<platform::Image> pdfThumbnailOf(const URL& url, const std::optional<Size>& size) {
    if (!url.isFileURL()) return nullptr;
    const auto document = platform::PDFDocument::make(url);
    if (!document) return nullptr;
    return Generator::pdfPageImage(*document, size);
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
    for (const char* key : {"Title", "Author", "Subject", "Producer", "Keywords"}) addUnlessEmpty(p, key, text(key));
    const auto [major, minor] = document->version();
    if (major > 0) addUnlessEmpty(p, "Version", Value(std::to_string(major) + "." + std::to_string(minor)));
    addUnlessEmpty(p, "Pages", Value(static_cast<int64_t>(document->pageCount())));
    if (const auto box = document->mediaBox(0)) {
        const auto w = truncated(box->first), h = truncated(box->second);
        if (w && h) addUnlessEmpty(p, "Resolution", Value(std::to_string(*w) + "x" + std::to_string(*h)));
    }
    addUnlessEmpty(p, "Content creator", text("Creator"));
    if (auto d = Generator::pdfDate(document->infoString("CreationDate"))) addUnlessEmpty(p, "Creation date", Value(*d));
    if (auto d = Generator::pdfDate(document->infoString("ModDate"))) addUnlessEmpty(p, "Modified date", Value(*d));
    const char* security = !document->isEncrypted() ? "None" : document->isLocked() ? "Password Protected" : "Present";
    addUnlessEmpty(p, "Security", Value(security));
    addUnlessEmpty(p, "Allows printing", Value(document->allowsPrinting()));
    addUnlessEmpty(p, "Allows copying", Value(document->allowsCopying()));
    return p;
}

} // namespace fileinfo

using namespace fileinfo;

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

} // namespace RiridOzizevud
