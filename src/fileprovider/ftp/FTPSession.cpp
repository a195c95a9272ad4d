#include "fileprovider/ftp/FTPSession.hpp"

#include "fileprovider/ftp/FTPListParser.hpp"
#include "fileprovider/ftp/FTPReply.hpp"
#include "fileprovider/ftp/FileProviderFTPError.hpp"
#include "fileprovider/ftp/NetService.hpp"
#include "platform/text/CharacterSet.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/net/URLCache.hpp"
#include "platform/net/URLSession.hpp"

#include <algorithm>
#include <cctype>
#include <limits>
#include <mutex>

namespace RiridOzizevud {

using platform::Data;
using platform::ErrorRef;
using platform::URLError;

namespace {

std::string trimmed(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

bool hasPrefix(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

// Schemes are compared without case: "FTPES" must not log in in the clear.
std::string lowercasedScheme(const std::optional<platform::URL>& url) {
    std::string scheme = url ? url->scheme().value_or("") : "";
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme;
}

struct ReplyReader : std::enable_shared_from_this<ReplyReader> {
    std::weak_ptr<FTPSession> session;
    std::shared_ptr<FileProviderStreamTask> task;
    int64_t minLength = 4;
    std::function<void()> afterSend;
    FTPSession::ReplyHandler completion;
    std::string buffer;
    double timeout = 60;
    double resourceTimeout = 60;
    std::optional<platform::URL> errorURL;

    void next(int64_t min) {
        auto self = shared_from_this();
        task->readData(min, 4096, timeout, [self](std::optional<Data> data, bool atEnd, ErrorRef error) {
            self->received(std::move(data), atEnd, std::move(error));
        });
    }

    void finish(std::optional<std::string> reply, ErrorRef error) {
        auto c = std::move(completion);
        completion = nullptr;
        if (c) c(std::move(reply), std::move(error));
    }

    // A reply is checked as a whole: a character may be cut between two reads.
    void deliver(const std::string& reply) {
        const std::string text = trimmed(reply);
        if (!platform::isValidUTF8(text)) return finish(std::nullopt, URLError::make(URLError::cannotParseResponse, errorURL));
        finish(text, nullptr);
    }

    void received(std::optional<Data> data, bool atEnd, ErrorRef error) {
        if (data && !data->empty()) {
            buffer.append(data->begin(), data->end());
        } else if (error) {
            // What came before the time-out is the reply, as far as there is one.
            if (error->is(platform::NSURLErrorDomain, URLError::timedOut) && !trimmed(buffer).empty()) return deliver(buffer);
            return finish(std::nullopt, error);
        }
        for (auto& reply : takeFTPReplies(buffer)) {
            const std::string text = trimmed(reply);
            if (hasPrefix(text, "1")) {
                // A preliminary reply: the final one follows, perhaps only after a whole transfer.
                timeout = resourceTimeout;
                if (afterSend) afterSend();
                continue;
            }
            return deliver(reply);
        }
        // The peer has closed: what it sent last is the reply, line end or not; nothing more comes.
        if (atEnd || (!data && !error)) {
            if (!trimmed(buffer).empty()) return deliver(buffer);
            return finish(std::nullopt, URLError::make(URLError::cannotParseResponse, errorURL));
        }
        next(1);
    }
};

} // namespace

std::string FTPSession::rawValue(Mode mode) {
    switch (mode) {
    case Mode::default_: return "default";
    case Mode::passive: return "passive";
    case Mode::active: return "active";
    case Mode::extendedPassive: return "extendedPassive";
    }
    return "default";
}

std::optional<FTPSession::Mode> FTPSession::modeFromRawValue(const std::string& raw) {
    for (Mode m : {Mode::default_, Mode::passive, Mode::active, Mode::extendedPassive})
        if (rawValue(m) == raw) return m;
    return std::nullopt;
}

std::shared_ptr<FTPSession> FTPSession::make(Configuration configuration) {
    return std::shared_ptr<FTPSession>(new FTPSession(std::move(configuration)));
}

FTPSession::FTPSession(Configuration configuration)
    : configuration_(std::move(configuration)),
      supportsRFC3659_(configuration_.supportsRFC3659 ? configuration_.supportsRFC3659 : std::make_shared<std::atomic<bool>>(true)) {}

double FTPSession::requestTimeout() const {
    const double t = configuration_.session ? configuration_.session->configuration().timeoutIntervalForRequest : 60;
    return t > 0 ? t : 60;
}

double FTPSession::resourceTimeout() const {
    const double t = configuration_.session ? configuration_.session->configuration().timeoutIntervalForResource : 60;
    return t > 0 ? t : 60;
}

platform::URL FTPSession::url(const std::string& of) const { return ftpURL(of, configuration_.baseURL); }

platform::URL FTPSession::fileURL(const std::string& serverPath) const {
    const std::string path = platform::addingPercentEncoding(serverPath, platform::CharacterSet::urlPathAllowed()).value_or(serverPath);
    if (configuration_.baseURL) {
        if (auto parts = platform::URL::split(configuration_.baseURL->absoluteString())) {
            parts->user.reset();
            parts->password.reset();
            parts->query.reset();
            parts->fragment.reset();
            parts->path = path;
            if (auto url = platform::URL::parse(parts->toString())) return *url;
        }
    }
    return url(serverPath);
}

std::string FTPSession::serverPath(const std::string& path) const {
    std::string relative = path;
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    std::string base = configuration_.baseURL ? configuration_.baseURL->path() : "/";
    while (!base.empty() && base.back() == '/') base.pop_back();
    // Dot segments are resolved inside the path alone, so they never climb above the base.
    std::string full = base + platform::URL::removeDotSegments("/" + relative);
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    if (full.empty() || full.front() != '/') full.insert(0, "/");
    return full;
}

bool FTPSession::isSecureSession() const {
    const auto& base = configuration_.baseURL;
    if (!base) return false;
    const std::string scheme = lowercasedScheme(base);
    return scheme == "ftps" || scheme == "ftpes" || base->port() == 990;
}

std::shared_ptr<FileProviderStreamTask> FTPSession::makeControlTask() const {
    const auto& base = configuration_.baseURL;
    const std::string host = base ? base->host().value_or("") : "";
    const int port = base && base->port() ? *base->port() : (lowercasedScheme(base) == "ftps" ? 990 : 21);
    auto task = fpstreamTask(configuration_.session, host, port);
    task->setServerTrustPolicy(configuration_.serverTrustPolicy);
    return task;
}

void FTPSession::fail(std::function<void()> report) const {
    if (configuration_.dispatch_queue)
        configuration_.dispatch_queue->async(std::move(report));
    else
        report();
}

void FTPSession::sendCommand(const std::string& command, const std::shared_ptr<FileProviderStreamTask>& task,
                             int64_t minLength, std::function<void()> afterSend, ReplyHandler completionHandler) {
    // One command per line: a CR, LF or NUL would smuggle in a second one.
    if (command.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        if (completionHandler) completionHandler(std::nullopt, URLError::make(URLError::badURL, url("")));
        return;
    }
    const double timeout = requestTimeout();
    const std::string line = command + "\r\n";
    auto self = shared_from_this();
    auto handler = std::make_shared<ReplyHandler>(std::move(completionHandler));
    auto hook = std::make_shared<std::function<void()>>(std::move(afterSend));
    task->write(Data(line.begin(), line.end()), timeout, [self, task, minLength, hook, handler](ErrorRef error) {
        self->readReply(error, task, minLength, *hook, *handler);
    });
}

void FTPSession::readReply(ErrorRef writeError, const std::shared_ptr<FileProviderStreamTask>& task, int64_t minLength,
                           std::function<void()> afterSend, ReplyHandler completionHandler) {
    if (writeError) {
        if (completionHandler) completionHandler(std::nullopt, writeError);
        return;
    }
    if (task->state() == FileProviderStreamTask::State::suspended) task->resume();
    auto reader = std::make_shared<ReplyReader>();
    reader->session = weak_from_this();
    reader->task = task;
    reader->minLength = minLength;
    reader->afterSend = std::move(afterSend);
    reader->completion = std::move(completionHandler);
    reader->timeout = requestTimeout();
    reader->resourceTimeout = resourceTimeout();
    reader->errorURL = url("");
    reader->next(minLength);
}

void FTPSession::logIn(const std::shared_ptr<FileProviderStreamTask>& task, std::function<void(ErrorRef)> completionHandler) {
    auto self = shared_from_this();
    auto done = std::make_shared<std::function<void(ErrorRef)>>(std::move(completionHandler));
    const auto& base = configuration_.baseURL;
    const std::string scheme = lowercasedScheme(base);
    auto secure = std::make_shared<bool>(false);
    if ((base && base->port() == 990) || scheme == "ftps") {
        task->startSecureConnection();
        *secure = true;
    }
    if (task->state() == FileProviderStreamTask::State::suspended) task->resume();

    const auto credential = configuration_.credential;
    auto sendUser = [self, task, done, credential] {
        const std::string user = credential && credential->user() ? *credential->user() : "anonymous";
        self->sendCommand("USER " + user, task, 4, nullptr, [self, task, done, credential](std::optional<std::string> reply, ErrorRef error) {
            if (error) return (*done)(error);
            if (!reply) return (*done)(URLError::make(URLError::badServerResponse, self->url("")));
            if (hasPrefix(*reply, "23")) return (*done)(nullptr);
            if (!hasPrefix(*reply, "33")) return (*done)(FileProviderFTPError::make(*reply, ""));
            const std::string password = credential && credential->password() ? *credential->password() : "rarezudevira@";
            self->sendCommand("PASS " + password, task, 4, nullptr, [self, done](std::optional<std::string> reply, ErrorRef error) {
                if (error) return (*done)(error);
                if (!reply) return (*done)(URLError::make(URLError::userAuthenticationRequired, self->url("")));
                if (hasPrefix(*reply, "23")) return (*done)(nullptr);
                (*done)(FileProviderFTPError::make(*reply, ""));
            });
        });
    };
    auto protect = [self, task, done, sendUser] {
        self->sendCommand("PBSZ 0", task, 4, nullptr, [self, task, done, sendUser](std::optional<std::string>, ErrorRef error) {
            if (error) return (*done)(error);
            const std::string prot = self->configuration_.securedDataConnection ? "PROT P" : "PROT C";
            self->sendCommand(prot, task, 4, nullptr, [done, sendUser](std::optional<std::string>, ErrorRef error) {
                if (error) return (*done)(error);
                sendUser();
            });
        });
    };

    readReply(nullptr, task, 4, nullptr, [self, task, done, secure, scheme, protect, sendUser](std::optional<std::string> welcome, ErrorRef error) {
        if (error) return (*done)(error);
        if (!welcome) return (*done)(URLError::make(URLError::cannotParseResponse, self->url("")));
        if (!hasPrefix(*welcome, "22")) return (*done)(FileProviderFTPError::make(*welcome, ""));
        if (!*secure && scheme == "ftpes") {
            self->sendCommand("AUTH TLS", task, 4, nullptr, [self, task, done, protect](std::optional<std::string> reply, ErrorRef error) {
                if (error) return (*done)(error);
                if (!reply) return (*done)(URLError::make(URLError::badServerResponse, self->url("")));
                // Without TLS there is no going on: the password would cross in plain text.
                if (!hasPrefix(*reply, "23")) return (*done)(FileProviderFTPError::make(*reply, ""));
                task->startSecureConnection();
                protect();
            });
            return;
        }
        if (*secure) return protect();
        sendUser();
    });
}

std::shared_ptr<FileProviderStreamTask> FTPSession::makeDataTask(const std::shared_ptr<FileProviderStreamTask>& control,
                                                                 std::shared_ptr<FileProviderStreamTask> task) {
    const auto& base = configuration_.baseURL;
    if (isSecureSession() && configuration_.securedDataConnection) {
        task->setServerTrustPolicy(control->serverTrustPolicy());
        task->setPeerID(control->getSSLPeerID());
        // The certificate names the server as the control connection reached it.
        if (base && base->host()) task->setTlsPeerName(*base->host());
        task->startSecureConnection();
    }
    task->setSecurityLevel(StreamSocketSecurityLevel::TLSv1);
    return task;
}

void FTPSession::openDataConnection(const std::shared_ptr<FileProviderStreamTask>& task, DataTaskHandler completionHandler) {
    auto self = shared_from_this();
    Mode mode = configuration_.mode;
    if (mode == Mode::default_) mode = isSecureSession() ? Mode::extendedPassive : Mode::passive;
    if (mode == Mode::active) {
        auto handler = std::make_shared<DataTaskHandler>(std::move(completionHandler));
        auto run = [self, task, handler] { self->openActiveDataConnection(task, *handler); };
        if (configuration_.dispatch_queue)
            configuration_.dispatch_queue->async(run);
        else
            run();
        return;
    }
    const bool extended = mode == Mode::extendedPassive;
    auto handler = std::make_shared<DataTaskHandler>(std::move(completionHandler));
    sendCommand(extended ? "EPSV" : "PASV", task, 4, nullptr,
                [self, task, extended, handler](std::optional<std::string> reply, ErrorRef error) {
                    self->handlePassiveReply(task, std::move(reply), std::move(error), extended, *handler);
                });
}

void FTPSession::handlePassiveReply(const std::shared_ptr<FileProviderStreamTask>& control, std::optional<std::string> reply,
                                    ErrorRef error, bool extended, DataTaskHandler completionHandler) {
    if (error) return completionHandler(nullptr, error);
    if (!reply) return completionHandler(nullptr, URLError::make(URLError::badServerResponse, url("")));
    if (extended && hasPrefix(trimmed(*reply), "50")) {
        auto self = shared_from_this();
        auto handler = std::make_shared<DataTaskHandler>(std::move(completionHandler));
        sendCommand("PASV", control, 4, nullptr, [self, control, handler](std::optional<std::string> reply, ErrorRef error) {
            self->handlePassiveReply(control, std::move(reply), std::move(error), false, *handler);
        });
        return;
    }
    // Only a positive reply carries an address; anything else is the server's refusal.
    if (!hasPrefix(*reply, "2")) return completionHandler(nullptr, FileProviderFTPError::make(*reply, ""));
    const auto address = extended ? parseEPSVReply(*reply) : parsePASVReply(*reply);
    if (!address) return completionHandler(nullptr, URLError::make(URLError::badServerResponse, url("")));
    std::string host = address->host;
    if (host.empty()) host = configuration_.baseURL ? configuration_.baseURL->host().value_or("") : "";
    auto data = makeDataTask(control, fpstreamTask(configuration_.session, host, address->port));
    data->resume();
    completionHandler(data, nullptr);
}

void FTPSession::openActiveDataConnection(const std::shared_ptr<FileProviderStreamTask>& task, DataTaskHandler completionHandler) {
    auto service = NetService::make("", "_tcp.", "", 0);
    // The server connects to the address it reaches us at: the control connection's own.
    const std::string local = task->localAddress();
    if (!local.empty()) service->setBindAddress(local);
    // The data comes from the server the control connection reached, from no one else.
    const std::string peer = task->peerAddress();
    if (!peer.empty()) service->setExpectedPeerAddress(peer);
    service->publish(NetService::listenForConnections);
    if (service->port() < 1) return completionHandler(nullptr, URLError::make(URLError::cannotConnectToHost, url("")));
    auto data = makeDataTask(task, fpstreamTask(configuration_.session, service));
    data->resume();
    // RFC 959 wants the address and the port as six numbers; EPRT carries an IPv6 address.
    std::string command;
    const int port = service->port();
    if (local.find(':') != std::string::npos) {
        command = "EPRT |2|" + local + "|" + std::to_string(port) + "|";
    } else {
        std::string numbers = local.empty() ? "127.0.0.1" : local;
        std::replace(numbers.begin(), numbers.end(), '.', ',');
        command = "PORT " + numbers + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
    }
    auto self = shared_from_this();
    auto handler = std::make_shared<DataTaskHandler>(std::move(completionHandler));
    sendCommand(command, task, 4, nullptr, [self, data, handler](std::optional<std::string> reply, ErrorRef error) {
        if (!error && !reply) error = URLError::make(URLError::badServerResponse, self->url(""));
        if (!error && hasPrefix(*reply, "5")) error = URLError::make(URLError::cannotConnectToHost, self->url(""));
        if (!error && hasPrefix(*reply, "4")) error = FileProviderFTPError::make(*reply, "");
        if (error) {
            data->cancel();
            return (*handler)(nullptr, error);
        }
        (*handler)(data, nullptr);
    });
}

namespace {

// What a transfer waits for: the data side and the final reply, whichever comes last. The
// completion runs once, with the first error.
struct TransferState {
    std::mutex mutex;
    bool dataDone = false;
    bool replyDone = false;
    bool finished = false;
    std::shared_ptr<FileProviderStreamTask> data;
    std::function<void(ErrorRef)> completion;

    void finish(ErrorRef error) {
        std::function<void(ErrorRef)> c;
        std::shared_ptr<FileProviderStreamTask> d;
        {
            std::lock_guard lock(mutex);
            if (finished) return;
            finished = true;
            c = std::move(completion);
            d = data;
        }
        if (error && d) d->cancel();
        if (c) c(error);
    }
    void markData() {
        bool both;
        {
            std::lock_guard lock(mutex);
            dataDone = true;
            both = replyDone;
        }
        if (both) finish(nullptr);
    }
    void markReply() {
        bool both;
        {
            std::lock_guard lock(mutex);
            replyDone = true;
            both = dataDone;
        }
        if (both) finish(nullptr);
    }
    bool isFinished() {
        std::lock_guard lock(mutex);
        return finished;
    }
};

struct RetrieveReader : std::enable_shared_from_this<RetrieveReader> {
    std::shared_ptr<TransferState> state;
    std::shared_ptr<FileProviderStreamTask> data;
    FTPSession::ChunkHandler onData;
    int64_t length = -1;
    int64_t expected = -1;
    int64_t received = 0;
    double timeout = 60;
    std::optional<platform::URL> url;

    void next() {
        if (state->isFinished()) return;
        auto self = shared_from_this();
        data->readData(1, 256 * 1024, timeout, [self](std::optional<Data> bytes, bool atEnd, ErrorRef error) {
            if (bytes && !bytes->empty()) {
                Data chunk = std::move(*bytes);
                bool enough = false;
                if (self->length >= 0 && self->received + static_cast<int64_t>(chunk.size()) >= self->length) {
                    chunk.resize(static_cast<size_t>(self->length - self->received));
                    enough = true;
                }
                self->received += static_cast<int64_t>(chunk.size());
                if (!chunk.empty() && self->onData && !self->onData(chunk, self->received, self->expected))
                    return self->state->finish(URLError::make(URLError::cannotWriteToFile, self->url));
                if (enough) {
                    // The rest is not wanted: the data connection goes, and so does the wait for the reply.
                    self->data->cancel();
                    self->state->markReply();
                    return self->state->markData();
                }
            } else if (error) {
                return self->state->finish(error);
            }
            if (atEnd) return self->state->markData();
            self->next();
        });
    }
};

} // namespace

void FTPSession::list(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& path, bool useMLSD,
                      LinesHandler completionHandler) {
    auto self = shared_from_this();
    auto handler = std::make_shared<LinesHandler>(std::move(completionHandler));
    auto failed = [self, handler](ErrorRef error) {
        auto h = *handler;
        self->fail([h, error] { h({}, error); });
    };
    openDataConnection(task, [self, task, path, useMLSD, handler, failed](std::shared_ptr<FileProviderStreamTask> data, ErrorRef error) {
        if (error) return failed(error);
        if (!data) return failed(URLError::make(URLError::badServerResponse, self->url(path)));
        // The listing is read while the reply is awaited: a server sends its final reply only
        // once the whole listing is out.
        auto buffer = std::make_shared<Data>();
        auto state = std::make_shared<TransferState>();
        state->data = data;
        state->completion = [self, path, buffer, handler, failed](ErrorRef error) {
            if (error) return failed(error);
            const std::string text(buffer->begin(), buffer->end());
            if (!platform::isValidUTF8(text)) return failed(URLError::make(URLError::badServerResponse, self->url(path)));
            std::vector<std::string> lines;
            size_t start = 0;
            for (;;) {
                const size_t nl = text.find('\n', start);
                // Only the line end goes: spaces at either end may belong to a name.
                std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                lines.push_back(std::move(line));
                if (nl == std::string::npos) break;
                start = nl + 1;
            }
            (*handler)(std::move(lines), nullptr);
        };
        const std::string command = (useMLSD ? "MLSD " : "LIST ") + path;
        self->sendCommand(command, task, 4, nullptr, [self, path, useMLSD, state](std::optional<std::string> reply, ErrorRef error) {
            if (state->isFinished()) return;
            if (error) return state->finish(error);
            if (!reply) return state->finish(URLError::make(URLError::cannotParseResponse, self->url(path)));
            if (useMLSD && hasPrefix(*reply, "500")) {
                self->setSupportsRFC3659(false);
                return state->finish(URLError::make(URLError::unsupportedURL, self->url(path)));
            }
            // Any positive completion ("226", "250") ends a listing well; a refused listing is an
            // error, never an empty directory.
            if (!hasPrefix(*reply, "2") && !hasPrefix(*reply, "1")) return state->finish(FileProviderFTPError::make(*reply, path));
            state->markReply();
        });
        auto reader = std::make_shared<RetrieveReader>();
        reader->state = state;
        reader->data = data;
        reader->onData = [buffer](const Data& chunk, int64_t, int64_t) {
            buffer->insert(buffer->end(), chunk.begin(), chunk.end());
            return true;
        };
        reader->timeout = self->requestTimeout();
        reader->url = self->url(path);
        reader->next();
    });
}

void FTPSession::quit(const std::shared_ptr<FileProviderStreamTask>& task) {
    sendCommand("QUIT", task, 4, nullptr, [task](std::optional<std::string>, ErrorRef) { task->cancel(); });
}


std::optional<Data> FTPSession::cachedFile(const std::string& serverPath) const {
    if (!configuration_.useCache || !configuration_.cache || !configuration_.dispatch_queue) return std::nullopt;
    const platform::URLRequest request(fileURL(serverPath), platform::URLRequest::CachePolicy::useProtocolCachePolicy, 60);
    auto cached = configuration_.cache->cachedResponse(request, configuration_.credential);
    if (!cached || cached->data().empty()) return std::nullopt;
    return cached->data();
}

void FTPSession::retrieve(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& serverPath, int64_t offset,
                          int64_t length, TaskHook onTask, ChunkHandler onData, std::function<void(ErrorRef)> completionHandler) {
    auto self = shared_from_this();
    auto state = std::make_shared<TransferState>();
    state->completion = std::move(completionHandler);
    if (length == 0) return state->finish(nullptr);
    if (auto cached = cachedFile(serverPath)) {
        // The range of the kept file, not the whole of it: a read from an offset gets what it asked for.
        configuration_.dispatch_queue->async([self, serverPath, offset, length, state, onData = std::move(onData),
                                              cached = std::move(*cached)] {
            const auto size = static_cast<int64_t>(cached.size());
            const int64_t from = std::min(offset, size);
            const int64_t count = length < 0 ? size - from : std::min(length, size - from);
            const Data piece(cached.begin() + from, cached.begin() + from + count);
            if (!piece.empty() && onData && !onData(piece, count, count))
                return state->finish(URLError::make(URLError::cannotWriteToFile, self->url(serverPath)));
            state->finish(nullptr);
        });
        return;
    }
    auto hooks = std::make_shared<std::pair<TaskHook, ChunkHandler>>(std::move(onTask), std::move(onData));
    sendCommand("TYPE I", task, 4, nullptr, [self, task, serverPath, offset, length, state, hooks](std::optional<std::string> reply, ErrorRef error) {
        if (error) return state->finish(error);
        if (!reply || !hasPrefix(*reply, "2"))
            return state->finish(reply ? ErrorRef(FileProviderFTPError::make(*reply, serverPath))
                                       : URLError::make(URLError::badServerResponse, self->url(serverPath)));
        self->sendCommand("SIZE " + serverPath, task, 4, nullptr, [self, task, serverPath, offset, length, state, hooks](std::optional<std::string> reply, ErrorRef error) {
            if (error) return state->finish(error);
            int64_t expected = -1;
            if (reply && hasPrefix(*reply, "213 ")) {
                try {
                    expected = std::stoll(reply->substr(4)) - offset;
                } catch (...) {
                    expected = -1;
                }
                if (expected < 0) expected = 0;
            }
            if (length >= 0 && (expected < 0 || expected > length)) expected = length;
            self->openDataConnection(task, [self, task, serverPath, offset, length, expected, state, hooks](std::shared_ptr<FileProviderStreamTask> data, ErrorRef error) {
                if (error || !data) return state->finish(error ? error : URLError::make(URLError::badServerResponse, self->url(serverPath)));
                {
                    std::lock_guard lock(state->mutex);
                    state->data = data;
                }
                if (hooks->first) hooks->first(data);
                auto startRetrieve = [self, task, serverPath, length, expected, state, hooks, data] {
                    auto reader = std::make_shared<RetrieveReader>();
                    reader->state = state;
                    reader->data = data;
                    reader->onData = hooks->second;
                    reader->length = length;
                    reader->expected = expected;
                    reader->timeout = self->requestTimeout();
                    reader->url = self->url(serverPath);
                    self->sendCommand("RETR " + serverPath, task, 4, nullptr, [self, serverPath, state](std::optional<std::string> reply, ErrorRef error) {
                        if (state->isFinished()) return;
                        if (error) return state->finish(error);
                        if (!reply) return state->finish(URLError::make(URLError::badServerResponse, self->url(serverPath)));
                        if (!hasPrefix(*reply, "2")) return state->finish(FileProviderFTPError::make(*reply, serverPath));
                        state->markReply();
                    });
                    reader->next();
                };
                if (offset <= 0) return startRetrieve();
                self->sendCommand("REST " + std::to_string(offset), task, 4, nullptr, [self, serverPath, state, startRetrieve](std::optional<std::string> reply, ErrorRef error) {
                    if (error) return state->finish(error);
                    if (!reply || !hasPrefix(*reply, "3"))
                        return state->finish(reply ? ErrorRef(FileProviderFTPError::make(*reply, serverPath))
                                                   : URLError::make(URLError::badServerResponse, self->url(serverPath)));
                    startRetrieve();
                });
            });
        });
    });
}

namespace {

struct StoreWriter : std::enable_shared_from_this<StoreWriter> {
    std::shared_ptr<TransferState> state;
    std::shared_ptr<FileProviderStreamTask> data;
    std::shared_ptr<platform::InputStream> stream;
    FTPSession::ProgressHook onProgress;
    int64_t size = -1;
    int64_t sent = 0;
    double timeout = 60;
    std::optional<platform::URL> url;
    std::atomic<bool> started{false};

    void start() {
        if (started.exchange(true)) return;
        if (stream->streamStatus() == platform::InputStream::Status::notOpen) stream->open();
        next();
    }

    void next() {
        if (state->isFinished()) return;
        const size_t want = size >= 0 ? static_cast<size_t>(std::min<int64_t>(size - sent, 64 * 1024)) : 64 * 1024;
        Data chunk(want);
        std::ptrdiff_t n = want ? stream->read(chunk.data(), chunk.size()) : 0;
        if (n < 0) {
            ErrorRef e = stream->streamError();
            return state->finish(e ? e : URLError::make(URLError::cannotOpenFile, url));
        }
        if (n == 0) {
            data->closeWrite();
            return state->markData();
        }
        chunk.resize(static_cast<size_t>(n));
        auto self = shared_from_this();
        data->write(chunk, timeout, [self, n](ErrorRef error) {
            if (error) return self->state->finish(error);
            self->sent += n;
            if (self->onProgress) self->onProgress(self->sent, self->size);
            self->next();
        });
    }
};

} // namespace

void FTPSession::store(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& serverPath,
                       std::shared_ptr<platform::InputStream> stream, int64_t size, int64_t restOffset, TaskHook onTask,
                       ProgressHook onProgress, std::function<void(ErrorRef)> completionHandler) {
    auto self = shared_from_this();
    auto state = std::make_shared<TransferState>();
    state->completion = std::move(completionHandler);
    if (!stream) return state->finish(URLError::make(URLError::cannotOpenFile, url(serverPath)));
    auto hooks = std::make_shared<std::pair<TaskHook, ProgressHook>>(std::move(onTask), std::move(onProgress));
    sendCommand("TYPE I", task, 4, nullptr, [self, task, serverPath, stream, size, restOffset, state, hooks](std::optional<std::string> reply, ErrorRef error) {
        if (error) return state->finish(error);
        if (!reply || !hasPrefix(*reply, "2"))
            return state->finish(reply ? ErrorRef(FileProviderFTPError::make(*reply, serverPath))
                                       : URLError::make(URLError::badServerResponse, self->url(serverPath)));
        self->openDataConnection(task, [self, task, serverPath, stream, size, restOffset, state, hooks](std::shared_ptr<FileProviderStreamTask> data, ErrorRef error) {
            if (error || !data) return state->finish(error ? error : URLError::make(URLError::badServerResponse, self->url(serverPath)));
            {
                std::lock_guard lock(state->mutex);
                state->data = data;
            }
            if (hooks->first) hooks->first(data);
            auto writer = std::make_shared<StoreWriter>();
            writer->state = state;
            writer->data = data;
            writer->stream = stream;
            writer->onProgress = hooks->second;
            writer->size = size;
            writer->timeout = self->requestTimeout();
            writer->url = self->url(serverPath);
            auto startStore = [self, task, serverPath, state, writer] {
                self->sendCommand("STOR " + serverPath, task, 4,
                                  [writer] { writer->start(); },
                                  [self, serverPath, state, writer](std::optional<std::string> reply, ErrorRef error) {
                                      if (state->isFinished()) return;
                                      if (error) return state->finish(error);
                                      if (!reply) return state->finish(URLError::make(URLError::badServerResponse, self->url(serverPath)));
                                      if (!hasPrefix(*reply, "2")) return state->finish(FileProviderFTPError::make(*reply, serverPath));
                                      // A server that took the file without a preliminary reply got nothing to store.
                                      if (!writer->started.load()) {
                                          writer->data->cancel();
                                          state->markData();
                                      }
                                      state->markReply();
                                  });
            };
            if (restOffset < 0) return startStore();
            self->sendCommand("REST " + std::to_string(restOffset), task, 4, nullptr, [self, serverPath, state, startStore](std::optional<std::string> reply, ErrorRef error) {
                if (error) return state->finish(error);
                if (!reply || !hasPrefix(*reply, "3"))
                    return state->finish(reply ? ErrorRef(FileProviderFTPError::make(*reply, serverPath))
                                               : URLError::make(URLError::badServerResponse, self->url(serverPath)));
                startStore();
            });
        });
    });
}

int64_t FTPSession::restChunkSize(int64_t fileSize) {
    constexpr int64_t smallest = 32 * 1024, largest = 4 * 1024 * 1024;
    if (fileSize <= 0) return smallest;
    return std::clamp<int64_t>(fileSize / 64, smallest, largest);
}

namespace {

struct RestUpload : std::enable_shared_from_this<RestUpload> {
    std::shared_ptr<FTPSession> session;
    std::shared_ptr<FileProviderStreamTask> task;
    std::string path;
    std::shared_ptr<platform::InputStream> stream;
    int64_t size = -1;
    int64_t chunkSize = 32 * 1024;
    int64_t offset = 0;
    FTPSession::TaskHook onTask;
    FTPSession::ProgressHook onProgress;
    std::function<void(ErrorRef)> completion;

    void next() {
        Data chunk(static_cast<size_t>(chunkSize));
        size_t filled = 0;
        while (filled < chunk.size()) {
            const std::ptrdiff_t n = stream->read(chunk.data() + filled, chunk.size() - filled);
            if (n < 0) {
                ErrorRef e = stream->streamError();
                return done(e ? e : URLError::make(URLError::cannotOpenFile, session->url(path)));
            }
            if (n == 0) break;
            filled += static_cast<size_t>(n);
        }
        chunk.resize(filled);
        // The last chunk is the one that comes short; an empty file still gets its one store.
        if (filled == 0 && offset > 0) return done(nullptr);
        const bool last = static_cast<int64_t>(filled) < chunkSize;
        auto self = shared_from_this();
        const int64_t base = offset;
        session->store(task, path, platform::InputStream::make(std::move(chunk)), static_cast<int64_t>(filled), offset, onTask,
                       [self, base](int64_t sent, int64_t) {
                           if (self->onProgress) self->onProgress(base + sent, self->size);
                       },
                       [self, filled, last](ErrorRef error) {
                           if (error) return self->done(error);
                           self->offset += static_cast<int64_t>(filled);
                           if (last) return self->done(nullptr);
                           self->next();
                       });
    }

    void done(ErrorRef error) {
        auto c = std::move(completion);
        completion = nullptr;
        if (c) c(error);
    }
};

} // namespace

void FTPSession::storeByREST(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& serverPath,
                             std::shared_ptr<platform::InputStream> stream, int64_t size, TaskHook onTask,
                             ProgressHook onProgress, std::function<void(ErrorRef)> completionHandler) {
    if (!stream) {
        if (completionHandler) completionHandler(URLError::make(URLError::cannotOpenFile, url(serverPath)));
        return;
    }
    if (stream->streamStatus() == platform::InputStream::Status::notOpen) stream->open();
    auto upload = std::make_shared<RestUpload>();
    upload->session = shared_from_this();
    upload->task = task;
    upload->path = serverPath;
    upload->stream = std::move(stream);
    upload->size = size;
    upload->chunkSize = restChunkSize(size);
    upload->onTask = std::move(onTask);
    upload->onProgress = std::move(onProgress);
    upload->completion = std::move(completionHandler);
    upload->next();
}

} // namespace RiridOzizevud
