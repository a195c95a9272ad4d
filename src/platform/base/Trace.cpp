#include "platform/base/Trace.hpp"

#include <atomic>
#include <mutex>

namespace Util {
namespace {

struct SinkSlot {
    std::mutex mutex;
    std::shared_ptr<const TraceSink> sink;
    std::atomic<bool> enabled{false};
};

SinkSlot& slot() {
    static SinkSlot s;
    return s;
}

std::shared_ptr<const TraceSink> currentSink() {
    auto& s = slot();
    std::lock_guard lock(s.mutex);
    return s.sink;
}

}  // namespace

void setTraceSink(TraceSink sink) {
    auto& s = slot();
    std::shared_ptr<const TraceSink> next;
    if (sink) next = std::make_shared<const TraceSink>(std::move(sink));
    std::shared_ptr<const TraceSink> previous;
    {
        std::lock_guard lock(s.mutex);
        previous = std::move(s.sink);
        s.sink = next;
        s.enabled.store(next != nullptr, std::memory_order_release);
    }
    // `previous` is released here, outside the lock: a sink's captures may run arbitrary destructors.
}

bool isTraceEnabled() { return slot().enabled.load(std::memory_order_acquire); }

namespace detail {

void emit(std::string_view file, int line, std::string_view function, const TraceMessage* first,
          const TraceMessage* second) {
    auto sink = currentSink();
    if (!sink) return;
    // A trace line never changes the caller's course, whatever a message or the sink does.
    try {
        TraceLine out{std::string(file), line, std::string(function), {}};
        if (first) out.messages.push_back(*first ? (*first)() : std::string("nil"));
        if (second) out.messages.push_back(*second ? (*second)() : std::string("nil"));
        (*sink)(out);
    } catch (...) {
    }
}

}  // namespace detail

void trace(std::string_view file, int line, std::string_view function) {
    if (!isTraceEnabled()) return;
    detail::emit(file, line, function, nullptr, nullptr);
}

}  // namespace Util
