#include "platform/media/PDFDocument.hpp"

#include "platform/media/MediaDecoder.hpp"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <cmath>
#include <mutex>
#include <sys/stat.h>

namespace platform {

namespace {

void silencePoppler() {
    static std::once_flag once;
    std::call_once(once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

} // namespace

std::shared_ptr<PDFDocument> PDFDocument::make(const URL& url) {
    if (!url.isFileURL()) return nullptr;
    // Only regular files: opening a named pipe would wait for a writer.
    struct stat st {};
    if (::stat(url.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    silencePoppler();
    std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(url.path()));
    if (!doc) return nullptr;
    std::shared_ptr<PDFDocument> result(new PDFDocument());
    result->document_ = std::move(doc);
    return result;
}

std::shared_ptr<PDFDocument> PDFDocument::make(const std::vector<uint8_t>& data) {
    silencePoppler();
    // poppler takes the bytes over, so the document never outlives them.
    poppler::byte_array bytes(data.begin(), data.end());
    std::unique_ptr<poppler::document> doc(poppler::document::load_from_data(&bytes));
    if (!doc) return nullptr;
    std::shared_ptr<PDFDocument> result(new PDFDocument());
    result->document_ = std::move(doc);
    return result;
}

PDFDocument::~PDFDocument() = default;

bool PDFDocument::hasInfo() const { return document_->is_locked() || !document_->info_keys().empty(); }

std::optional<std::string> PDFDocument::infoString(const std::string& key) const {
    if (document_->is_locked()) return std::nullopt;
    const poppler::ustring value = document_->info_key(key);
    if (value.empty()) return std::nullopt;
    const poppler::byte_array bytes = value.to_utf8();
    return std::string(bytes.begin(), bytes.end());
}

// A locked poppler document holds no parsed file: only the locked state may be asked.
std::pair<int, int> PDFDocument::version() const {
    int major = 0, minor = 0;
    if (document_->is_locked()) return {0, 0};
    document_->get_pdf_version(&major, &minor);
    return {major, minor};
}

int PDFDocument::pageCount() const { return document_->is_locked() ? 0 : document_->pages(); }

std::optional<std::pair<double, double>> PDFDocument::mediaBox(int index) const {
    if (index < 0 || index >= pageCount()) return std::nullopt;
    std::unique_ptr<poppler::page> page(document_->create_page(index));
    if (!page) return std::nullopt;
    const poppler::rectf box = page->page_rect(poppler::media_box);
    return std::make_pair(box.width(), box.height());
}

bool PDFDocument::isEncrypted() const { return document_->is_locked() || document_->is_encrypted(); }
bool PDFDocument::isLocked() const { return document_->is_locked(); }
bool PDFDocument::allowsPrinting() const {
    return !document_->is_locked() && document_->has_permission(poppler::perm_print);
}
bool PDFDocument::allowsCopying() const {
    return !document_->is_locked() && document_->has_permission(poppler::perm_copy);
}

std::shared_ptr<Image> PDFDocument::render(int index, double scale, int width, int height) const {
    if (width <= 0 || height <= 0 || !std::isfinite(scale) || scale <= 0) return nullptr;
    if (static_cast<int64_t>(width) * height > MediaDecoder::maxPixels) return nullptr;
    if (index < 0 || index >= pageCount()) return nullptr;
    std::unique_ptr<poppler::page> page(document_->create_page(index));
    if (!page) return nullptr;
    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
    renderer.set_paper_color(0xffffffff);
    renderer.set_image_format(poppler::image::format_argb32);
    const double dpi = 72.0 * scale;
    const poppler::image drawn = renderer.render_page(page.get(), dpi, dpi, 0, 0, width, height, poppler::rotate_0);
    if (!drawn.is_valid() || drawn.format() != poppler::image::format_argb32) return nullptr;
    // The drawn area may come out a pixel short of the request; the rest stays white.
    std::vector<uint8_t> rgba(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0xff);
    const int rows = std::min(height, drawn.height()), cols = std::min(width, drawn.width());
    for (int y = 0; y < rows; ++y) {
        const auto* src = reinterpret_cast<const uint8_t*>(drawn.const_data()) + static_cast<std::size_t>(y) * drawn.bytes_per_row();
        uint8_t* dst = rgba.data() + static_cast<std::size_t>(y) * width * 4;
        for (int x = 0; x < cols; ++x) {
            const uint8_t* p = src + x * 4; // 0xAARRGGBB in host (little-endian) order
            dst[x * 4] = p[2];
            dst[x * 4 + 1] = p[1];
            dst[x * 4 + 2] = p[0];
            dst[x * 4 + 3] = p[3];
        }
    }
    return Image::make(width, height, std::move(rgba));
}

} // namespace platform
