// ostrane-smb-worker: runs the libsmbclient work of one SMB session of the library that started it,
// so that a slow, dead or crashing server holds up nothing but its own session.
//
// Started by SMBWorker with its socket on descriptor 3 and the shared read buffer on 4, and the
// starting process's id as its one argument. It answers requests one at a time (SMBWorkerProtocol)
// and ends when that process ends or closes the socket, also in the middle of a network call.
#include "ostrane/smb/SMBWorkerProtocol.hpp"
#include "ostrane/smb/worker/WorkerSession.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace Ostrane::smbworker;

namespace {

// Reads exactly `size` bytes; false at the end of the stream or on an error.
bool receiveAll(int fd, void* into, std::size_t size) {
    auto* at = static_cast<std::uint8_t*>(into);
    while (size > 0) {
        const auto got = ::recv(fd, at, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool receiveFrame(std::vector<std::uint8_t>& body) {
    std::uint8_t header[4];
    if (!receiveAll(socketDescriptor, header, sizeof header)) return false;
    const auto length = frameLength(header);
    if (length == 0 || length > largestFrame) return false;
    body.resize(length);
    return receiveAll(socketDescriptor, body.data(), length);
}

bool answer(FrameWriter& reply) {
    const auto& frame = reply.frame();
    return sendAll(socketDescriptor, frame.data(), frame.size());
}

FrameWriter failureReply(const Failure& failure) {
    FrameWriter reply;
    reply.u8(1).u32(static_cast<std::uint32_t>(failure.code)).text(failure.text);
    return reply;
}

// The host's end closes when it ends or lets the session go: end at once, whatever runs.
void endWhenTheHostLeaves() {
    std::thread([] {
        pollfd watched{socketDescriptor, POLLRDHUP, 0};
        while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }).detach();
}

// Runs one request; false when the request is malformed (the host is then not ours to trust).
bool serve(WorkerSession& session, FrameReader& request, std::uint8_t* shared) {
    const auto operation = static_cast<Operation>(request.u8());
    FrameWriter reply;
    reply.u8(0);
    try {
        switch (operation) {
        case Operation::connectShare: {
            ConnectRequest connect;
            connect.share = request.text();
            connect.server = request.text();
            connect.port = request.u32();
            connect.domain = request.text();
            connect.user = request.text();
            connect.password = request.text();
            connect.timeoutMilliseconds = request.i64();
            connect.encrypted = request.u8() != 0;
            if (request.failed()) return false;
            session.connect(std::move(connect));
            break;
        }
        case Operation::listDirectory: {
            const auto path = request.text();
            if (request.failed()) return false;
            const auto entries = session.list(path);
            reply.u32(static_cast<std::uint32_t>(entries.size()));
            for (const auto& entry : entries) {
                reply.text(entry.name).u8(entry.type).u8(entry.size ? 1 : 0).i64(entry.size.value_or(0));
            }
            break;
        }
        case Operation::openFile: {
            const auto path = request.text();
            if (request.failed()) return false;
            reply.u32(session.open(path));
            break;
        }
        case Operation::readFile: {
            const auto file = request.u32();
            const auto offset = request.i64();
            const auto size = request.u32();
            if (request.failed() || size > sharedBufferSize) return false;
            reply.u32(static_cast<std::uint32_t>(session.read(file, offset, size, shared)));
            break;
        }
        case Operation::sizeOfFile: {
            const auto file = request.u32();
            if (request.failed()) return false;
            reply.i64(session.size(file));
            break;
        }
        case Operation::closeFile: {
            const auto file = request.u32();
            if (request.failed()) return false;
            session.close(file);
            return true;  // no answer
        }
        default:
            return false;
        }
    } catch (const Failure& failure) {
        reply = failureReply(failure);
    }
    return answer(reply);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    // Also end when the starting process dies without closing the socket first.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != static_cast<pid_t>(std::strtol(argv[1], nullptr, 10))) return 3;
    std::signal(SIGPIPE, SIG_IGN);
    ::close_range(sharedBufferDescriptor + 1, ~0U, 0);

    void* mapped = ::mmap(nullptr, sharedBufferSize, PROT_READ | PROT_WRITE, MAP_SHARED, sharedBufferDescriptor, 0);
    if (mapped == MAP_FAILED) return 4;
    endWhenTheHostLeaves();

    WorkerSession session;
    std::vector<std::uint8_t> body;
    while (receiveFrame(body)) {
        FrameReader request(body);
        if (!serve(session, request, static_cast<std::uint8_t*>(mapped))) ::_exit(5);
    }
    // The host closed the socket. Leaving without logging off: the server sees the connection close.
    ::_exit(0);
}
