// platform::PDFDocument — a PDF file as the file-information code reads it: info strings, version,
// page count and boxes, security state and permissions, and a page drawn into a bitmap. Over
// poppler-cpp; its diagnostics on damaged files are silenced.
#pragma once

#include "platform/media/Image.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace poppler {
class document;
}

namespace platform {

class PDFDocument {
public:
    /// nullptr when the URL is no file URL or the file is no PDF poppler can open (an encrypted
    /// file whose password is unknown opens locked).
    static std::shared_ptr<PDFDocument> make(const URL& url);
    /// The same over bytes held in memory; nullptr when they are no PDF poppler can open.
    static std::shared_ptr<PDFDocument> make(const std::vector<uint8_t>& data);
    ~PDFDocument();

    /// Whether the trailer names an info dictionary (a locked file keeps its own).
    bool hasInfo() const;
    /// An info dictionary text entry ("Title", "CreationDate"...) as UTF-8; nullopt when absent.
    std::optional<std::string> infoString(const std::string& key) const;
    /// {major, minor}.
    std::pair<int, int> version() const;
    int pageCount() const;
    /// Width and height of a page's media box in points (index from 0).
    std::optional<std::pair<double, double>> mediaBox(int index) const;
    bool isEncrypted() const;
    bool isLocked() const;
    bool allowsPrinting() const;
    bool allowsCopying() const;
    /// The page (index from 0) drawn at `scale` on white, cut to width × height pixels; nullptr
    /// when the size is not positive or too large, or the page cannot be drawn.
    std::shared_ptr<Image> render(int index, double scale, int width, int height) const;

private:
    PDFDocument() = default;
    std::unique_ptr<poppler::document> document_;
};

} // namespace platform
