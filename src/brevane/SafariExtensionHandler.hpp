// The extension's handler: collects the media resources that page scripts report and hands one to
// the player by opening a "dovavoziri:" URL that carries it as JSON.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brevane/SafariServices.hpp"

namespace Brevane {

/// A page resource: every key and value is text.
using Resource = std::map<std::string, std::string>;

/// The process-wide list of collected resources (a copy; it is guarded internally).
std::vector<Resource> collectedResources();
void setCollectedResources(std::vector<Resource> resources);

/// Runs `task` on the main queue after `seconds`. Replaceable so tests can run delayed work by hand.
using MainQueueScheduler = std::function<void(double seconds, std::function<void()> task)>;
void setMainQueueScheduler(MainQueueScheduler scheduler);

class SafariExtensionViewController : public SFSafariExtensionViewController {
public:
    using SFSafariExtensionViewController::SFSafariExtensionViewController;
    static std::shared_ptr<SafariExtensionViewController> shared();
};

class SafariExtensionHandler : public SFSafariExtensionHandler {
public:
    const std::string schema = "dovavoziri";

    void messageReceivedWithName(const std::string& messageName, const std::shared_ptr<SFSafariPage>& page,
                                 const std::optional<UserInfo>& userInfo) override;
    void toolbarItemClickedInWindow(const std::shared_ptr<SFSafariWindow>& window) override;
    void validateToolbarItemInWindow(const std::shared_ptr<SFSafariWindow>& window,
                                     std::function<void(bool enabled, std::string badgeText)> validationHandler) override;
    void contextMenuItemSelectedWithCommand(const std::string& command, const std::shared_ptr<SFSafariPage>& page,
                                            const std::optional<UserInfo>& userInfo) override;
    void validateContextMenuItemWithCommand(
        const std::string& command, const std::shared_ptr<SFSafariPage>& page, const std::optional<UserInfo>& userInfo,
        std::function<void(bool shouldHide, std::optional<std::string> text)> validationHandler) override;
    std::shared_ptr<SafariExtensionViewController> popoverViewController();

    /// The hand-off URL text for `resource` with its "command" set, or nothing when it cannot be built.
    std::optional<std::string> handOffURL(const std::string& command, const Resource& resource) const;

private:
    void handOff(const std::string& command, const std::optional<Resource>& resource,
                 const std::vector<Resource>& resources) const;
};

}  // namespace Brevane
