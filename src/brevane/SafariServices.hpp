// Stand-ins for the browser objects the extension handler talks to. The browser's own calls reach
// them through the native-messaging bridge (NativeMessaging.hpp); tests supply fakes.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace Brevane {

/// Values of a user-information dictionary are of any JSON kind, as the page script sends them.
using UserInfo = nlohmann::json;

class SFSafariPageProperties {
public:
    SFSafariPageProperties(std::optional<std::string> url, std::optional<std::string> title)
        : url_(std::move(url)), title_(std::move(title)) {}
    const std::optional<std::string>& url() const { return url_; }
    const std::optional<std::string>& title() const { return title_; }
    /// Diagnostic form: Optional(<url>), Optional("<title>"), with nil for an absent value.
    std::string description() const;

private:
    std::optional<std::string> url_;
    std::optional<std::string> title_;
};

class SFSafariPage {
public:
    virtual ~SFSafariPage() = default;
    /// Sends a message to the page script; `userInfo` absent sends none.
    virtual void dispatchMessageToScript(const std::string& name, const std::optional<UserInfo>& userInfo) = 0;
    virtual void getPropertiesWithCompletionHandler(
        std::function<void(std::shared_ptr<SFSafariPageProperties>)> completionHandler) = 0;
};

class SFSafariTab {
public:
    virtual ~SFSafariTab() = default;
    virtual void getActivePageWithCompletionHandler(
        std::function<void(std::shared_ptr<SFSafariPage>)> completionHandler) = 0;
};

class SFSafariWindow {
public:
    virtual ~SFSafariWindow() = default;
    virtual void getActiveTabWithCompletionHandler(
        std::function<void(std::shared_ptr<SFSafariTab>)> completionHandler) = 0;
};

/// The browser's calls into an extension; a handler overrides the ones it serves.
class SFSafariExtensionHandler {
public:
    virtual ~SFSafariExtensionHandler() = default;
    virtual void messageReceivedWithName(const std::string& /*messageName*/,
                                         const std::shared_ptr<SFSafariPage>& /*page*/,
                                         const std::optional<UserInfo>& /*userInfo*/) {}
    virtual void toolbarItemClickedInWindow(const std::shared_ptr<SFSafariWindow>& /*window*/) {}
    virtual void validateToolbarItemInWindow(const std::shared_ptr<SFSafariWindow>& /*window*/,
                                             std::function<void(bool enabled, std::string badgeText)> validationHandler) {
        validationHandler(true, "");
    }
    virtual void contextMenuItemSelectedWithCommand(const std::string& /*command*/,
                                                    const std::shared_ptr<SFSafariPage>& /*page*/,
                                                    const std::optional<UserInfo>& /*userInfo*/) {}
    virtual void validateContextMenuItemWithCommand(
        const std::string& /*command*/, const std::shared_ptr<SFSafariPage>& /*page*/,
        const std::optional<UserInfo>& /*userInfo*/,
        std::function<void(bool shouldHide, std::optional<std::string> text)> validationHandler) {
        validationHandler(false, std::nullopt);
    }
};

class SFSafariExtensionViewController {
public:
    SFSafariExtensionViewController() = default;
    SFSafariExtensionViewController(std::optional<std::string> /*nibName*/, std::optional<std::string> /*bundle*/) {}
    virtual ~SFSafariExtensionViewController() = default;
};

}  // namespace Brevane
