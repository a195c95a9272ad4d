#include "ostrane/smb/AMSMB2.hpp"

#include "ostrane/smb/SMBWorker.hpp"
#include "ostrane/smb/SMBWorkerProtocol.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/base/Error.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <limits>
#include <system_error>

namespace Ostrane {

namespace {

using smbworker::FrameReader;
using smbworker::FrameWriter;
using smbworker::Operation;

using platform::startsWithNoCase;

bool allDigits(const std::string& text) {
    return !text.empty() && text.size() <= 5 && std::all_of(text.begin(), text.end(), ::isdigit);
}

AMSMB2Error notConnectedError() { return AMSMB2Error(ENOTCONN, "Not connected to a share"); }
AMSMB2Error brokenAnswerError() { return AMSMB2Error(EPROTO, "The SMB worker process answered wrongly"); }

}  // namespace

AMSMB2Error::AMSMB2Error(int code, const std::string& description)
    : std::runtime_error(description), code_(code), description_(description) {}

AMSMB2Error AMSMB2Error::fromErrno(int code) {
    if (code == 0) {
        code = EIO;
    }
    return AMSMB2Error(code, std::generic_category().message(code));
}

SMB2FileHandle::~SMB2FileHandle() {
    worker_->post(FrameWriter(Operation::closeFile).u32(number_).frame());
}

std::shared_ptr<AMSMB2> AMSMB2::make(const std::string& url, const std::string& domain, const AMSMB2Credential& credential,
                                     std::chrono::milliseconds timeout) {
    if (!startsWithNoCase(url, "smb://")) {
        return nullptr;
    }
    std::string authority = url.substr(6);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    // Credentials never travel in the URL: the worker's callback gives them.
    if (authority.empty() || authority.find('@') != std::string::npos) {
        return nullptr;
    }
    std::string host = authority;
    std::optional<int> port;
    if (authority.front() == '[') {
        const auto bracket = authority.find(']');
        if (bracket == std::string::npos) {
            return nullptr;
        }
        host = authority.substr(0, bracket + 1);
        if (bracket + 1 < authority.size()) {
            if (authority[bracket + 1] != ':' || !allDigits(authority.substr(bracket + 2))) {
                return nullptr;
            }
            port = std::stoi(authority.substr(bracket + 2));
        }
    } else if (const auto colon = authority.find(':'); colon != std::string::npos) {
        // One colon only: an IPv6 literal must be in brackets here.
        host = authority.substr(0, colon);
        if (!allDigits(authority.substr(colon + 1))) {
            return nullptr;
        }
        port = std::stoi(authority.substr(colon + 1));
    }
    if (host.empty() || host == "[]" || (port && (*port < 1 || *port > 65535))) {
        return nullptr;
    }
    for (unsigned char c : host) {
        if (c <= ' ' || c == 0x7F || c == '\\' || c == '%' || c == '/') {
            return nullptr;
        }
    }
    return std::shared_ptr<AMSMB2>(new AMSMB2(authority, host, static_cast<std::uint16_t>(port.value_or(0)), domain,
                                              credential, timeout));
}

AMSMB2::AMSMB2(std::string server, std::string host, std::uint16_t port, std::string domain, AMSMB2Credential credential,
               std::chrono::milliseconds timeout)
    : server_(std::move(server)),
      host_(std::move(host)),
      port_(port),
      domain_(std::move(domain)),
      credential_(std::move(credential)),
      timeout_(std::clamp<std::chrono::milliseconds>(timeout, std::chrono::milliseconds(1), std::chrono::hours(24))) {}

AMSMB2::~AMSMB2() { std::fill(credential_.password.begin(), credential_.password.end(), '\0'); }

// The worker's own time-out bounds each server request; this only ends a worker that stopped
// answering altogether (one operation may take a few requests).
std::chrono::milliseconds AMSMB2::replyLimit() const { return timeout_ * 2 + std::chrono::seconds(10); }

std::shared_ptr<SMBWorker> AMSMB2::worker() const {
    std::lock_guard guard(mutex_);
    return worker_;
}

std::shared_ptr<SMBWorker> AMSMB2::connectedWorker() const {
    std::lock_guard guard(mutex_);
    return shareConnected_ ? worker_ : nullptr;
}

bool AMSMB2::hasEnded() const {
    auto worker = this->worker();
    return worker && !worker->isAlive();
}

std::optional<int> AMSMB2::workerProcessID() const {
    auto worker = this->worker();
    return worker ? std::optional<int>(worker->processID()) : std::nullopt;
}

std::optional<AMSMB2Error> AMSMB2::connect(const std::string& name, bool encrypted) {
    auto worker = this->worker();
    if (!worker) {
        try {
            worker = SMBWorker::start();
        } catch (const AMSMB2Error& error) {
            return error;
        }
        std::lock_guard guard(mutex_);
        worker_ = worker;
    }
    FrameWriter request(Operation::connectShare);
    request.text(name).text(host_).u32(port_).text(domain_).text(credential_.user).text(credential_.password);
    request.i64(timeout_.count()).u8(encrypted ? 1 : 0);
    auto& frame = request.frame();
    const auto reply = worker->call(frame, replyLimit());
    std::fill(frame.begin(), frame.end(), 0);  // the password was in it
    std::lock_guard guard(mutex_);
    shareConnected_ = !reply.error;
    return reply.error;
}

void AMSMB2::connectShare(const std::string& name, bool encrypted, AMSMB2Completion completionHandler) {
    platform::DispatchQueue::global()->async(
        [self = shared_from_this(), name, encrypted, completionHandler = std::move(completionHandler)]() mutable {
            auto failure = self->connect(name, encrypted);
            self.reset();
            completionHandler(std::move(failure));
        });
}

std::vector<SMB2DirectoryEntry> AMSMB2::contentsOfDirectory(const std::string& atPath) {
    auto worker = connectedWorker();
    if (!worker) {
        throw notConnectedError();
    }
    const auto reply = worker->call(FrameWriter(Operation::listDirectory).text(atPath).frame(), replyLimit());
    if (reply.error) {
        throw *reply.error;
    }
    FrameReader fields(reply.body);
    std::vector<SMB2DirectoryEntry> entries;
    const auto count = fields.u32();
    for (std::uint32_t i = 0; i < count && !fields.failed(); ++i) {
        SMB2DirectoryEntry entry;
        entry.name = fields.text();
        const auto type = fields.u8();
        entry.type = type <= static_cast<std::uint8_t>(URLFileResourceType::unknown) ? static_cast<URLFileResourceType>(type)
                                                                                    : URLFileResourceType::unknown;
        const bool hasSize = fields.u8() != 0;
        const auto size = fields.i64();
        if (hasSize) {
            entry.size = size;
        }
        entries.push_back(std::move(entry));
    }
    if (fields.failed()) {
        throw brokenAnswerError();
    }
    return entries;
}

std::shared_ptr<SMB2FileHandle> AMSMB2::open(const std::string& atPath, std::optional<AMSMB2Error>& failure) {
    auto worker = connectedWorker();
    if (!worker) {
        failure = notConnectedError();
        return nullptr;
    }
    const auto reply = worker->call(FrameWriter(Operation::openFile).text(atPath).frame(), replyLimit());
    if (reply.error) {
        failure = reply.error;
        return nullptr;
    }
    FrameReader fields(reply.body);
    const auto number = fields.u32();
    if (fields.failed()) {
        failure = brokenAnswerError();
        return nullptr;
    }
    return std::shared_ptr<SMB2FileHandle>(new SMB2FileHandle(worker, number));
}

std::shared_ptr<SMB2FileHandle> AMSMB2::openFile(const std::string& atPath) {
    std::optional<AMSMB2Error> failure;
    return open(atPath, failure);
}

std::optional<AMSMB2Error> AMSMB2::readInto(std::vector<std::uint8_t>& data, const SMB2FileHandle& file,
                                            std::int64_t offset, std::int64_t size) {
    if (offset < 0 || size < 0 || offset > std::numeric_limits<std::int64_t>::max() - size) {
        return AMSMB2Error::fromErrno(EINVAL);
    }
    if (file.worker_ != worker()) {
        return AMSMB2Error::fromErrno(EBADF);
    }
    data.reserve(data.size() + static_cast<std::size_t>(std::min<std::int64_t>(size, 64 * transferStep)));
    std::int64_t got = 0;
    while (got < size) {
        const auto step = std::min(transferStep, size - got);
        FrameWriter request(Operation::readFile);
        request.u32(file.number_).i64(offset + got).u32(static_cast<std::uint32_t>(step));
        std::int64_t count = -1;
        const auto reply = file.worker_->call(request.frame(), replyLimit(), [&](const SMBWorker::Reply& reply, const std::uint8_t* shared) {
            if (reply.error) {
                return;
            }
            FrameReader fields(reply.body);
            const auto answered = fields.u32();
            // The bytes leave the shared buffer before the next request can change it.
            if (!fields.failed() && answered <= step) {
                data.insert(data.end(), shared, shared + answered);
                count = answered;
            }
        });
        if (reply.error) {
            return reply.error;
        }
        if (count < 0) {
            return brokenAnswerError();
        }
        got += count;
        if (count < step) {
            break;  // the worker reads whole steps but at the end of the file
        }
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> AMSMB2::read(const SMB2FileHandle& file, std::int64_t offset, std::int64_t size) {
    std::vector<std::uint8_t> data;
    if (readInto(data, file, offset, size)) {
        return std::nullopt;
    }
    return data;
}

std::optional<std::int64_t> AMSMB2::sizeOfFile(const SMB2FileHandle& file) {
    if (file.worker_ != worker()) {
        return std::nullopt;
    }
    const auto reply = file.worker_->call(FrameWriter(Operation::sizeOfFile).u32(file.number_).frame(), replyLimit());
    if (reply.error) {
        return std::nullopt;
    }
    FrameReader fields(reply.body);
    const auto size = fields.i64();
    return fields.failed() ? std::nullopt : std::optional(size);
}

std::optional<AMSMB2Error> AMSMB2::download(const std::string& atPath, const std::string& toPath) {
    if (toPath.empty() || toPath.back() == '/') {
        return AMSMB2Error::fromErrno(EISDIR);
    }
    std::optional<AMSMB2Error> failure;
    auto file = open(atPath, failure);
    if (!file) {
        return failure;
    }
    try {
        platform::PlacementFile placed(toPath);
        std::vector<std::uint8_t> data;
        // When the process exits, the next read never returns (SMBWorker) and the unplaced file
        // goes with the process.
        for (std::int64_t offset = 0;;) {
            data.clear();
            if (auto error = readInto(data, *file, offset, transferStep)) {
                return error;
            }
            if (data.empty()) {
                break;
            }
            placed.write(data.data(), data.size());
            offset += static_cast<std::int64_t>(data.size());
        }
        placed.place(true);
    } catch (const platform::Exception& error) {
        return AMSMB2Error(EIO, error.error()->localizedDescription());
    }
    return std::nullopt;
}

void AMSMB2::downloadItem(const std::string& atPath, const std::string& toPath, AMSMB2Completion completionHandler) {
    platform::DispatchQueue::global()->async(
        [self = shared_from_this(), atPath, toPath, completionHandler = std::move(completionHandler)]() mutable {
            auto failure = self->download(atPath, toPath);
            self.reset();
            completionHandler(std::move(failure));
        });
}

}  // namespace Ostrane
