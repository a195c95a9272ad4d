// brevane: the browser extension's native-messaging helper. The browser starts it and exchanges
// framed JSON messages with it on standard input and output (message shapes: README.md).
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>

#include "brevane/NSWorkspace.hpp"
#include "brevane/NativeMessaging.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

int main() {
    using namespace Brevane;
    // The browser passes arguments of its own (origin, manifest path); the opener comes from the environment.
    if (const char* opener = std::getenv("BREVANE_URL_OPENER"); opener && *opener) {
        NSWorkspace::setShared(std::make_shared<ProgramWorkspace>(opener));
    }

    std::mutex outputMutex;
    auto send = [&outputMutex](const nlohmann::json& message) {
        std::lock_guard lock(outputMutex);
        writeNativeMessage(STDOUT_FILENO, message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    };
    NativeMessagingHost host(std::make_shared<SafariExtensionHandler>(), send);

    std::string text;
    while (readNativeMessage(STDIN_FILENO, text) == FrameResult::message) {
        auto message = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!message.is_discarded()) host.receive(message);
    }

    // Let the page messages that a toolbar click scheduled go out before the browser closes the pipe.
    auto drained = std::make_shared<std::promise<void>>();
    auto done = drained->get_future();
    platform::DispatchQueue::main()->asyncAfter(0.2, [drained] { drained->set_value(); });
    done.wait_for(std::chrono::seconds(2));
    return 0;
}
