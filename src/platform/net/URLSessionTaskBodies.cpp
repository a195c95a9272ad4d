// platform::URLSession's byte callbacks from libcurl: answer headers, answer bodies (into a
// download's file, a completion's buffer or the delegate's pieces) and request bodies of uploads.
#include "platform/net/URLSessionEngine.hpp"

#include "platform/fs/FilePlacement.hpp"

#include <cstring>

namespace platform {

size_t URLSessionEngine::onHeader(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<SessionTransfer*>(user);
    const size_t n = size * count;
    t->lastActivity = Clock::now();
    std::string_view line(buffer, n);
    if (line.size() >= 5 && line.compare(0, 5, "HTTP/") == 0) {
        // A new answer begins: whatever the previous one carried is not the task's.
        const size_t sp = line.find(' ');
        int status = 0;
        if (sp != std::string_view::npos) {
            std::string_view rest = line.substr(sp + 1);
            for (size_t i = 0; i < rest.size() && i < 3 && std::isdigit(static_cast<unsigned char>(rest[i])); ++i)
                status = status * 10 + (rest[i] - '0');
        }
        if (!t->committed) {
            t->status = status;
            t->headers.clear();
            t->held.clear();
        }
        return n;
    }
    if (t->committed) return n;
    const std::string_view body = trim(line);
    if (body.empty()) return n;
    if ((line.front() == ' ' || line.front() == '\t') && !t->headers.empty()) {
        t->headers.back().second += " " + std::string(body);
        return n;
    }
    const size_t colon = body.find(':');
    if (colon == std::string_view::npos) return n;
    t->headers.emplace_back(std::string(trim(body.substr(0, colon))), std::string(trim(body.substr(colon + 1))));
    return n;
}

// An answer that may still be replaced by another one: a challenge, or a redirect curl follows.
bool URLSessionEngine::mayBeReplaced(const SessionTransfer& t) {
    if (t.status == 401 || t.status == 407) return true;
    if (t.status >= 300 && t.status < 400) {
        for (const auto& [k, v] : t.headers)
            if (equalsIgnoringCase(k, "Location")) return true;
    }
    return false;
}

size_t URLSessionEngine::onWrite(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<SessionTransfer*>(user);
    const size_t n = size * count;
    t->lastActivity = Clock::now();
    return t->engine->write(*t, buffer, n);
}

size_t URLSessionEngine::write(SessionTransfer& t, const char* buffer, size_t n) {
    if (!t.committed) {
        if (mayBeReplaced(t) && t.held.size() + n <= kHeldBodyLimit) {
            t.held.insert(t.held.end(), buffer, buffer + n);
            return n;
        }
        commit(t);
    }
    if (t.task->kind() == URLSessionTask::Kind::download) {
        if (t.into) {
            try {
                t.into->write(buffer, n);
            } catch (...) {
                t.writeFailed = true;
                return 0;
            }
        } else if (std::fwrite(buffer, 1, n, t.out) != n) {
            t.writeFailed = true;
            return 0;
        }
        t.task->setCounter(t.task->received_, "countOfBytesReceived", t.task->received_.load() + static_cast<int64_t>(n));
        reportWrite(t);
        return n;
    }
    if (t.completion) {
        t.collected.insert(t.collected.end(), buffer, buffer + n);
        t.task->setCounter(t.task->received_, "countOfBytesReceived", t.task->received_.load() + static_cast<int64_t>(n));
        return n;
    }
    if (queuedBytes.load() > kQueuedDataLimit) {
        // The delegate is behind: curl keeps these bytes and offers them again after unpausing.
        anyPaused = true;
        // A delegate that caught up before it could see the flag unpauses nothing: pause only
        // while a delivery still to come will see it.
        if (queuedBytes.load() > kQueuedDataLimit / 2) {
            t.paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
    }
    t.pending.insert(t.pending.end(), buffer, buffer + n);
    if (t.cacheable) {
        if (static_cast<int64_t>(t.cacheBody.size() + n) <= config.urlCache->maximumEntrySize()) {
            t.cacheBody.insert(t.cacheBody.end(), buffer, buffer + n);
        } else {
            t.cacheable = false;
            Data().swap(t.cacheBody);
        }
    }
    t.task->setCounter(t.task->received_, "countOfBytesReceived", t.task->received_.load() + static_cast<int64_t>(n));
    if (t.pending.size() >= kDeliveryChunk) flush(t);
    return n;
}

size_t URLSessionEngine::onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<SessionTransfer*>(user);
    t->lastActivity = Clock::now();
    return t->engine->read(*t, buffer, size * count);
}

size_t URLSessionEngine::read(SessionTransfer& t, char* buffer, size_t max) {
    size_t n = 0;
    switch (t.body) {
    case SessionTransfer::Body::none: return 0;
    case SessionTransfer::Body::data:
        n = std::min(max, t.bodyData.size() - t.bodyPos);
        if (n) std::memcpy(buffer, t.bodyData.data() + t.bodyPos, n);
        t.bodyPos += n;
        break;
    case SessionTransfer::Body::file:
        n = std::fread(buffer, 1, max, t.bodyFile);
        if (n == 0 && std::ferror(t.bodyFile)) {
            t.bodyError = POSIXError::make(EIO, t.bodyPath);
            return CURL_READFUNC_ABORT;
        }
        break;
    case SessionTransfer::Body::stream: {
        const std::ptrdiff_t r = t.bodyStream->read(reinterpret_cast<uint8_t*>(buffer), max);
        if (r < 0) {
            t.bodyError = t.bodyStream->streamError();
            if (!t.bodyError) t.bodyError = URLError::make(URLError::requestBodyStreamExhausted, t.url);
            return CURL_READFUNC_ABORT;
        }
        n = static_cast<size_t>(r);
        break;
    }
    }
    t.task->setCounter(t.task->sent_, "countOfBytesSent", t.task->sent_.load() + static_cast<int64_t>(n));
    reportSend(t);
    return n;
}

int URLSessionEngine::onSeek(void* user, curl_off_t offset, int origin) {
    auto* t = static_cast<SessionTransfer*>(user);
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    if (!t->engine->seek(*t, offset)) return CURL_SEEKFUNC_CANTSEEK;
    return CURL_SEEKFUNC_OK;
}

bool URLSessionEngine::seek(SessionTransfer& t, int64_t offset) {
    switch (t.body) {
    case SessionTransfer::Body::none: return offset == 0;
    case SessionTransfer::Body::data:
        if (static_cast<uint64_t>(offset) > t.bodyData.size()) return false;
        t.bodyPos = static_cast<size_t>(offset);
        break;
    case SessionTransfer::Body::file:
        if (!t.bodyFile || fseeko(t.bodyFile, offset, SEEK_SET) != 0) return false;
        break;
    case SessionTransfer::Body::stream:
        if (offset != 0 || !t.bodyStream->rewind()) return false;
        break;
    }
    t.task->setCounter(t.task->sent_, "countOfBytesSent", offset);
    return true;
}

} // namespace platform
