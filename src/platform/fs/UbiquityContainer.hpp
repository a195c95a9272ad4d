// platform::UbiquityContainer — the stand-in for the platform's ubiquity (iCloud) containers. Linux
// has no such service, so a container is a plain folder: <root>/<identifier>. The root is the
// folder the host sets, else "$XDG_DATA_HOME/ostrane/ubiquity", else
// "$HOME/.local/share/ostrane/ubiquity". An account counts as signed in while the root folder
// exists; nothing is synchronised anywhere, so every item is always downloaded.
#pragma once

#include "platform/net/URL.hpp"

#include <optional>
#include <string>
#include <vector>

namespace platform {

class UbiquityContainer {
public:
    /// The folder that holds the containers (a directory URL).
    static URL rootURL();
    /// No value goes back to the default location.
    static void setRootURL(const std::optional<URL>& url);

    /// The application's first container, the one a missing identifier stands for. None until the
    /// host sets one.
    static std::optional<std::string> defaultIdentifier();
    static void setDefaultIdentifier(const std::optional<std::string>& identifier);

    /// ubiquityIdentityToken: an opaque text that stays the same while the same account is
    /// signed in (the root folder's device and inode); none when the root folder does not exist.
    static std::optional<std::string> identityToken();

    /// URLForUbiquityContainerIdentifier: the container's folder as a directory URL, made when
    /// missing. None when no account is signed in, no identifier is given and there is no default,
    /// the identifier is not one plain file name, or the folder cannot be made.
    static std::optional<URL> containerURL(const std::optional<std::string>& identifier);
    /// The folders of every container under the root, in name order.
    static std::vector<URL> containerURLs();
};

} // namespace platform
