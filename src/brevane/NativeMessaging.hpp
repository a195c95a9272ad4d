// The browser side of the extension speaks native messaging: each message is a 4-byte length in
// native byte order followed by that many bytes of UTF-8 JSON, on standard input and output.
// NativeMessagingHost turns incoming calls into the handler's entry points and the handler's page
// messages and validation answers into outgoing messages.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "brevane/SafariExtensionHandler.hpp"

namespace Brevane {

/// The browser limits a message to the helper to 4 GiB; we refuse anything over this instead.
constexpr std::size_t maxNativeMessageSize = 64u << 20;

enum class FrameResult { message, endOfInput, invalid };

/// Reads one framed message from `fd`; a read error or a frame over the limit is `invalid`.
FrameResult readNativeMessage(int fd, std::string& message);
/// Writes one framed message to `fd`; false when the peer is gone.
bool writeNativeMessage(int fd, const std::string& message);

class NativeMessagingHost {
public:
    using Sender = std::function<void(const nlohmann::json& message)>;

    NativeMessagingHost(std::shared_ptr<SafariExtensionHandler> handler, Sender send);

    /// Carries one incoming call to the handler. Messages that are not understood are ignored.
    void receive(const nlohmann::json& message);

private:
    std::shared_ptr<SafariExtensionHandler> handler_;
    std::shared_ptr<Sender> send_;
};

}  // namespace Brevane
