#include "ostrane/curl/TransferExit.hpp"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Ostrane {

namespace {

// Never destroyed: a transfer may still end while the process exits.
struct Transfers {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
    std::atomic<bool> exiting{false};
    std::atomic<bool> librariesGone{false};
};

Transfers& transfers() {
    static auto* shared = new Transfers;
    return *shared;
}

struct ExitHook {
    ~ExitHook() {
        auto& t = transfers();
        t.exiting.store(true);
        std::unique_lock lock(t.mutex);
        // Each transfer looks at the flag at least every quarter of a second.
        t.idle.wait_for(lock, std::chrono::seconds(3), [&t] { return t.running == 0; });
        t.librariesGone.store(true);
    }
};

}  // namespace

void TransferActivity::prepare() {
    // Made after the libraries it guards have registered their own exit handlers, so it runs, and
    // stops the transfers, before they tear down.
    static ExitHook hook = [] {
        OPENSSL_init_ssl(0, nullptr);
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return ExitHook{};
    }();
    (void)hook;
}

TransferActivity::TransferActivity() {
    prepare();
    auto& t = transfers();
    std::lock_guard lock(t.mutex);
    ++t.running;
}

TransferActivity::~TransferActivity() {
    auto& t = transfers();
    std::lock_guard lock(t.mutex);
    if (--t.running == 0) t.idle.notify_all();
}

bool TransferActivity::exiting() { return transfers().exiting.load(); }

bool TransferActivity::librariesGone() { return transfers().librariesGone.load(); }

}  // namespace Ostrane
