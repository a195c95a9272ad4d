#pragma once
// A file opened by a client. Each client has its own descriptor class; only the client that made a
// descriptor can use it (others answer nothing for it).

namespace Ostrane {

class NetworkFileDescriptor {
public:
    virtual ~NetworkFileDescriptor() = default;

protected:
    NetworkFileDescriptor() = default;
    NetworkFileDescriptor(const NetworkFileDescriptor&) = default;
    NetworkFileDescriptor& operator=(const NetworkFileDescriptor&) = default;
};

}  // namespace Ostrane
