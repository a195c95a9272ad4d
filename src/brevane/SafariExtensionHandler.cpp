#include "brevane/SafariExtensionHandler.hpp"

#include <mutex>

#include "brevane/NSWorkspace.hpp"
#include "platform/text/CharacterSet.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

namespace Brevane {

namespace {

// The browser may call entry points from several threads; the list is the only shared state.
std::mutex resourcesMutex;
std::vector<Resource>& resourcesStorage() {
    static std::vector<Resource> resources;
    return resources;
}

std::mutex schedulerMutex;
MainQueueScheduler& schedulerSlot() {
    static MainQueueScheduler scheduler = [](double seconds, std::function<void()> task) {
        platform::DispatchQueue::main()->asyncAfter(seconds, std::move(task));
    };
    return scheduler;
}

void scheduleOnMainQueue(double seconds, std::function<void()> task) {
    MainQueueScheduler scheduler;
    {
        std::lock_guard lock(schedulerMutex);
        scheduler = schedulerSlot();
    }
    scheduler(seconds, std::move(task));
}

/// A "resource" entry usable for a hand-off: an object whose every value is text.
std::optional<Resource> resourceFrom(const std::optional<UserInfo>& userInfo) {
    if (!userInfo || !userInfo->is_object()) return std::nullopt;
    auto entry = userInfo->find("resource");
    if (entry == userInfo->end() || !entry->is_object()) return std::nullopt;
    Resource resource;
    for (const auto& [key, value] : entry->items()) {
        if (!value.is_string()) return std::nullopt;
        resource.emplace(key, value.get<std::string>());
    }
    return resource;
}

bool isValidUTF8(const std::string& text) {
    std::size_t i = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    while (i < text.size()) {
        unsigned char c = s[i];
        std::size_t length = 0;
        char32_t scalar = 0;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { length = 2; scalar = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { length = 3; scalar = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { length = 4; scalar = c & 0x07; }
        else return false;
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            scalar = (scalar << 6) | (s[i + k] & 0x3F);
        }
        static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (scalar < minimum[length] || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

// The platform encoder's string form: solidus escaped, other characters as they are.
void appendJSONString(std::string& out, const std::string& text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

std::optional<std::string> encodeJSON(const Resource& resource) {
    std::string json = "{";
    bool first = true;
    for (const auto& [key, value] : resource) {
        if (!isValidUTF8(key) || !isValidUTF8(value)) return std::nullopt;
        if (!first) json += ',';
        first = false;
        appendJSONString(json, key);
        json += ':';
        appendJSONString(json, value);
    }
    json += '}';
    return json;
}

std::string percentEncodedForFragment(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const auto& allowed = platform::CharacterSet::urlFragmentAllowed();
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (c < 0x80 && allowed.contains(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

}  // namespace

std::vector<Resource> collectedResources() {
    std::lock_guard lock(resourcesMutex);
    return resourcesStorage();
}

void setCollectedResources(std::vector<Resource> resources) {
    std::lock_guard lock(resourcesMutex);
    resourcesStorage() = std::move(resources);
}

void setMainQueueScheduler(MainQueueScheduler scheduler) {
    std::lock_guard lock(schedulerMutex);
    schedulerSlot() = std::move(scheduler);
}

std::shared_ptr<SafariExtensionViewController> SafariExtensionViewController::shared() {
    static const auto controller = std::make_shared<SafariExtensionViewController>();
    return controller;
}

void SafariExtensionHandler::messageReceivedWithName(const std::string& messageName,
                                                     const std::shared_ptr<SFSafariPage>& /*page*/,
                                                     const std::optional<UserInfo>& userInfo) {
    auto resource = resourceFrom(userInfo);
    if (!resource) return;
    if (messageName == "safari_page_resource") {
        std::lock_guard lock(resourcesMutex);
        resourcesStorage().push_back(std::move(*resource));
    } else if (messageName == "calvora_open") {
        std::vector<Resource> resources;
        {
            std::lock_guard lock(resourcesMutex);
            resources.swap(resourcesStorage());
        }
        handOff("open", resource, resources);
    } else if (messageName == "calvora_reply_url") {
        std::lock_guard lock(resourcesMutex);
        resourcesStorage() = {std::move(*resource)};
    }
}

void SafariExtensionHandler::toolbarItemClickedInWindow(const std::shared_ptr<SFSafariWindow>& window) {
    setCollectedResources({});
    if (!window) return;
    window->getActiveTabWithCompletionHandler([](std::shared_ptr<SFSafariTab> tab) {
        if (!tab) return;
        tab->getActivePageWithCompletionHandler([](std::shared_ptr<SFSafariPage> page) {
            if (page) page->dispatchMessageToScript("calvora_command", UserInfo{{"command", "prepare"}});
            scheduleOnMainQueue(0.1, [page] {
                if (page) page->dispatchMessageToScript("calvora_open", std::nullopt);
            });
        });
    });
}

void SafariExtensionHandler::validateToolbarItemInWindow(
    const std::shared_ptr<SFSafariWindow>& /*window*/,
    std::function<void(bool enabled, std::string badgeText)> validationHandler) {
    validationHandler(true, "");
}

void SafariExtensionHandler::contextMenuItemSelectedWithCommand(const std::string& command,
                                                                const std::shared_ptr<SFSafariPage>& /*page*/,
                                                                const std::optional<UserInfo>& /*userInfo*/) {
    handOff(command == "calvora_playlist" ? "addtoplaylist" : "open", std::nullopt, collectedResources());
}

void SafariExtensionHandler::validateContextMenuItemWithCommand(
    const std::string& /*command*/, const std::shared_ptr<SFSafariPage>& /*page*/,
    const std::optional<UserInfo>& /*userInfo*/,
    std::function<void(bool shouldHide, std::optional<std::string> text)> validationHandler) {
    bool show = false;
    {
        std::lock_guard lock(resourcesMutex);
        const auto& resources = resourcesStorage();
        show = !resources.empty() && resources.front().count("url") != 0;
    }
    validationHandler(!show, std::nullopt);
}

std::shared_ptr<SafariExtensionViewController> SafariExtensionHandler::popoverViewController() {
    return SafariExtensionViewController::shared();
}

std::optional<std::string> SafariExtensionHandler::handOffURL(const std::string& command,
                                                              const Resource& resource) const {
    Resource copy = resource;
    copy["command"] = command;
    auto json = encodeJSON(copy);
    if (!json) return std::nullopt;
    return schema + ":" + percentEncodedForFragment(*json);
}

void SafariExtensionHandler::handOff(const std::string& command, const std::optional<Resource>& resource,
                                     const std::vector<Resource>& resources) const {
    const Resource* chosen = !resources.empty() ? &resources.front() : (resource ? &*resource : nullptr);
    if (!chosen) return;
    auto url = handOffURL(command, *chosen);
    if (!url) return;
    NSWorkspace::shared()->openURL(*url);
}

}  // namespace Brevane
