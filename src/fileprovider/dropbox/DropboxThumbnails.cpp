// Thumbnails of DropboxFileProvider: images from "files/get_thumbnail", office documents from
// "files/get_preview", decoded from the answer's bytes.
#include "fileprovider/dropbox/DropboxFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/info/LocalFileInformationGenerator.hpp"
#include "platform/data/JSON.hpp"
#include "platform/media/ImageSource.hpp"
#include "platform/media/PDFDocument.hpp"
#include "platform/net/URLResponse.hpp"

#include <nlohmann/json.hpp>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;
using platform::URL;
using platform::URLRequest;

constexpr std::string_view imageExtensions[] = {"jpg", "jpeg", "gif", "bmp", "png", "tif", "tiff"};
constexpr std::string_view documentExtensions[] = {
    "doc", "docx", "docm", "xls", "xlsx", "xlsm", "ppt", "pps", "ppsx", "ppsm", "pptx", "pptm", "rtf"};

/// An image of a thumbnail or preview answer: nullptr for an HTML page or bytes that are no image.
std::shared_ptr<platform::Image> thumbnailImage(const Data& data,
                                                const std::shared_ptr<const platform::URLResponse>& response,
                                                const std::optional<platform::Size>& dimension) {
    // Checked before the type: a PDF preview is drawn even when labelled as HTML.
    if (isPDF(data)) {
        const auto document = platform::PDFDocument::make(data);
        return document ? LocalFileInformationGenerator::pdfPageImage(*document, dimension) : nullptr;
    }
    if (const auto* http = dynamic_cast<const platform::HTTPURLResponse*>(response.get())) {
        const auto type = http->value("Content-Type");
        if (type && type->find("text/html") != std::string::npos)
            return nullptr;
    }
    const auto source = platform::ImageSource::make(data);
    return source ? LocalFileInformationGenerator::imageSourceThumbnail(*source, dimension) : nullptr;
}

} // namespace

// --- Thumbnails ----------------------------------------------------------------------------------

bool DropboxFileProvider::thumbnailOfFileSupported(const std::string& path) {
    return hasExtension(path, imageExtensions) || hasExtension(path, documentExtensions);
}

std::string DropboxFileProvider::thumbnailSize(const std::optional<platform::Size>& dimension) {
    const double x = dimension ? dimension->height : 64;
    if (x >= 0 && x <= 32)
        return "w32h32";
    if (x >= 33 && x <= 64)
        return "w64h64";
    if (x >= 65 && x <= 128)
        return "w128h128";
    if (x >= 129 && x <= 480)
        return "w640h480";
    return "w1024h768";
}

std::optional<URLRequest> DropboxFileProvider::thumbnailRequest(const std::string& path,
                                                                const std::optional<platform::Size>& dimension) const {
    const bool image = hasExtension(path, imageExtensions);
    if (!image && !hasExtension(path, documentExtensions))
        return std::nullopt;
    URLRequest request = endpointRequest(contentURL_, image ? "files/get_thumbnail" : "files/get_preview");
    // Normalised like every other call: the server takes no path without its leading "/".
    Json arguments = {{"path", *normalizedPath(path)}};
    if (image) {
        arguments["format"] = "jpeg";
        arguments["size"] = thumbnailSize(dimension);
    }
    if (const auto arg = dropboxAPIArg(arguments))
        request.setValue(*arg, "Dropbox-API-Arg");
    return request;
}

ProgressRef DropboxFileProvider::thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                                 ThumbnailCompletionHandler completionHandler) {
    const URL fileURL = url(path);
    const auto request = thumbnailRequest(path, dimension);
    if (!request) {
        later([fileURL, completionHandler = std::move(completionHandler)] {
            if (completionHandler)
                completionHandler(nullptr, platform::URLError::make(platform::URLError::resourceUnavailable, fileURL));
        });
        return nullptr;
    }
    auto provider = self();
    auto task = session()->dataTask(
        *request, [provider, path, fileURL, dimension, completionHandler = std::move(completionHandler)](
                      std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            if (const auto* http = dynamic_cast<const platform::HTTPURLResponse*>(response.get())) {
                if (const auto result = http->value("Dropbox-API-Result")) {
                    const auto json = platform::JSON::parse(*result);
                    if (json && json->is_object() && json->contains("error")) {
                        completionHandler(nullptr,
                                          platform::URLError::make(platform::URLError::cannotDecodeRawData, fileURL));
                        return;
                    }
                }
            }
            if (const ErrorRef failure = provider->answerError(response, error, path, data)) {
                completionHandler(nullptr, failure);
                return;
            }
            auto image = data ? thumbnailImage(*data, response, dimension) : nullptr;
            if (!image) {
                completionHandler(nullptr, platform::URLError::make(platform::URLError::cannotDecodeContentData, fileURL));
                return;
            }
            completionHandler(image, nullptr);
        });
    task->resume();
    return nullptr;
}

} // namespace RiridOzizevud
