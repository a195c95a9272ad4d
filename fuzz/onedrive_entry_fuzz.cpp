// fuzz-area: fpproviders
// Any bytes as a Graph reply: read as one drive item, as a page of items and as media facets,
// and as a provider path. Every item URL made stays inside the drive: below the drive's URL, with
// no dot segment that a server would resolve above it.
#include "fileprovider/onedrive/OneDriveFileObject.hpp"
#include "fileprovider/onedrive/OneDriveFileProvider.hpp"
#include "platform/data/JSON.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace RiridOzizevud;

namespace {

const platform::URL& base() {
    static const auto url = *platform::URL::parse("https://graph.example/v1.0/");
    return url;
}

void checkInside(const platform::URL& url) {
    static const std::string drive = "https://graph.example/v1.0/me/drive/";
    const std::string& text = url.absoluteString();
    if (text.compare(0, drive.size(), drive) != 0) __builtin_trap();
    if (url.standardized().absoluteString().compare(0, drive.size(), drive) != 0) __builtin_trap();
}

void checkEntry(const nlohmann::json& item) {
    const auto entry = OneDriveFileObject::make(base(), OneDriveRoute::me(), item);
    if (!entry) return;
    checkInside(entry->url());
    // The entry's URL reads back to a path that addresses the same URL.
    const std::string back = OneDriveFileObject::relativePathOf(entry->url(), base(), OneDriveRoute::me());
    (void)OneDriveFileObject::url(back, std::string("children"), base(), OneDriveRoute::me());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* modifier : {"", "content", "children"}) {
        const auto url = OneDriveFileObject::url(text, *modifier ? std::optional<std::string>(modifier) : std::nullopt,
                                                 base(), OneDriveRoute::me());
        checkInside(url);
        (void)OneDriveFileObject::relativePathOf(url, base(), OneDriveRoute::me());
    }
    const auto json = platform::JSON::parse(text);
    if (!json) return 0;
    checkEntry(*json);
    (void)OneDriveFileProvider::mapMediaInfo(*json);
    if (const auto* value = platform::JSON::member(*json, "value"); value && value->is_array())
        for (const auto& item : *value) checkEntry(item);
    return 0;
}
