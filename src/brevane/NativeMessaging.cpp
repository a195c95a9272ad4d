#include "brevane/NativeMessaging.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace Brevane {

namespace {

bool readExactly(int fd, char* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, buffer + got, size - got);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<UserInfo> optionalMember(const nlohmann::json& message, const char* key) {
    auto it = message.find(key);
    if (it == message.end() || it->is_null()) return std::nullopt;
    return *it;
}

std::string stringMember(const nlohmann::json& message, const char* key) {
    auto it = message.find(key);
    return it != message.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A page as the browser describes it: {"id": ..., "url": ..., "title": ...}. Messages to it name its id.
class BridgePage : public SFSafariPage {
public:
    BridgePage(nlohmann::json description, std::shared_ptr<NativeMessagingHost::Sender> send)
        : description_(std::move(description)), send_(std::move(send)) {}

    void dispatchMessageToScript(const std::string& name, const std::optional<UserInfo>& userInfo) override {
        nlohmann::json out = {{"dispatch", name}, {"page", description_.value("id", nlohmann::json())}};
        if (userInfo) out["userInfo"] = *userInfo;
        (*send_)(out);
    }

    void getPropertiesWithCompletionHandler(
        std::function<void(std::shared_ptr<SFSafariPageProperties>)> completionHandler) override {
        auto text = [this](const char* key) -> std::optional<std::string> {
            auto it = description_.find(key);
            if (it == description_.end() || !it->is_string()) return std::nullopt;
            return it->get<std::string>();
        };
        completionHandler(std::make_shared<SFSafariPageProperties>(text("url"), text("title")));
    }

private:
    nlohmann::json description_;
    std::shared_ptr<NativeMessagingHost::Sender> send_;
};

std::shared_ptr<SFSafariPage> pageFrom(const nlohmann::json& description,
                                       const std::shared_ptr<NativeMessagingHost::Sender>& send) {
    if (!description.is_object()) return nullptr;
    return std::make_shared<BridgePage>(description, send);
}

// The browser sends the window with what it knows of its active tab and page, so the asynchronous
// getters answer at once: {"activeTab": {"activePage": {...} | null} | null}.
class BridgeTab : public SFSafariTab {
public:
    BridgeTab(nlohmann::json description, std::shared_ptr<NativeMessagingHost::Sender> send)
        : description_(std::move(description)), send_(std::move(send)) {}
    void getActivePageWithCompletionHandler(
        std::function<void(std::shared_ptr<SFSafariPage>)> completionHandler) override {
        completionHandler(pageFrom(description_.value("activePage", nlohmann::json()), send_));
    }

private:
    nlohmann::json description_;
    std::shared_ptr<NativeMessagingHost::Sender> send_;
};

class BridgeWindow : public SFSafariWindow {
public:
    BridgeWindow(nlohmann::json description, std::shared_ptr<NativeMessagingHost::Sender> send)
        : description_(std::move(description)), send_(std::move(send)) {}
    void getActiveTabWithCompletionHandler(
        std::function<void(std::shared_ptr<SFSafariTab>)> completionHandler) override {
        auto tab = description_.value("activeTab", nlohmann::json());
        completionHandler(tab.is_object() ? std::make_shared<BridgeTab>(tab, send_) : nullptr);
    }

private:
    nlohmann::json description_;
    std::shared_ptr<NativeMessagingHost::Sender> send_;
};

}  // namespace

FrameResult readNativeMessage(int fd, std::string& message) {
    uint32_t length = 0;
    std::size_t got = 0;
    if (!readExactly(fd, reinterpret_cast<char*>(&length), sizeof length, got)) {
        return got == 0 ? FrameResult::endOfInput : FrameResult::invalid;
    }
    if (length > maxNativeMessageSize) return FrameResult::invalid;
    message.resize(length);
    if (!readExactly(fd, message.data(), length, got)) return FrameResult::invalid;
    return FrameResult::message;
}

bool writeNativeMessage(int fd, const std::string& message) {
    if (message.size() > UINT32_MAX) return false;
    auto length = static_cast<uint32_t>(message.size());
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    frame += message;
    return writeAll(fd, frame.data(), frame.size());
}

NativeMessagingHost::NativeMessagingHost(std::shared_ptr<SafariExtensionHandler> handler, Sender send)
    : handler_(std::move(handler)), send_(std::make_shared<Sender>(std::move(send))) {}

void NativeMessagingHost::receive(const nlohmann::json& message) {
    if (!message.is_object()) return;
    const std::string call = stringMember(message, "call");
    auto reply = [this, &message](nlohmann::json out) {
        if (auto id = message.find("id"); id != message.end()) out["id"] = *id;
        (*send_)(out);
    };
    auto page = [this, &message] { return pageFrom(message.value("page", nlohmann::json()), send_); };
    auto window = [this, &message] {
        auto description = message.value("window", nlohmann::json());
        return description.is_object() ? std::make_shared<BridgeWindow>(description, send_) : nullptr;
    };

    if (call == "messageReceived") {
        handler_->messageReceivedWithName(stringMember(message, "name"), page(), optionalMember(message, "userInfo"));
    } else if (call == "toolbarItemClicked") {
        handler_->toolbarItemClickedInWindow(window());
    } else if (call == "validateToolbarItem") {
        handler_->validateToolbarItemInWindow(window(), [&](bool enabled, std::string badgeText) {
            reply({{"reply", "validateToolbarItem"}, {"enabled", enabled}, {"badgeText", badgeText}});
        });
    } else if (call == "contextMenuItemSelected") {
        handler_->contextMenuItemSelectedWithCommand(stringMember(message, "command"), page(),
                                                     optionalMember(message, "userInfo"));
    } else if (call == "validateContextMenuItem") {
        handler_->validateContextMenuItemWithCommand(
            stringMember(message, "command"), page(), optionalMember(message, "userInfo"),
            [&](bool shouldHide, std::optional<std::string> text) {
                reply({{"reply", "validateContextMenuItem"},
                       {"shouldHide", shouldHide},
                       {"text", text ? nlohmann::json(*text) : nlohmann::json()}});
            });
    } else if (call == "popoverViewController") {
        handler_->popoverViewController();
        reply({{"reply", "popoverViewController"}});
    }
}

}  // namespace Brevane
