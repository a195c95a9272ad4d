#include "ostrane/ClientFactory.hpp"

#include "ostrane/curl/CURLClient.hpp"
#include "ostrane/fileprovider/FileProviderClient.hpp"
#include "ostrane/sftp/NMSSHClient.hpp"
#include "ostrane/smb/AMSMB2Client.hpp"

#include <mutex>
#include <utility>

namespace Ostrane {
namespace {

std::mutex makerMutex;
ClientMaker& overrideMaker() {
    static ClientMaker maker;
    return maker;
}

std::shared_ptr<OstraneClient> makeBuiltInClient(const OstraneInfo& info) {
    switch (info.type) {
    case OstraneType::sftp:
        return NMSSHClient::make(info);
    case OstraneType::smb:
        return AMSMB2Client::make(info);
    case OstraneType::webdav:
        return FileProviderClient::make(info);
    case OstraneType::ftp:
        break;
    }
    // FTP, and a type value outside the enumeration.
    return CURLClient::make(info);
}

}  // namespace

std::shared_ptr<OstraneClient> makeClient(const OstraneInfo& info) {
    ClientMaker maker;
    {
        std::lock_guard lock(makerMutex);
        maker = overrideMaker();
    }
    if (maker)
        if (auto client = maker(info)) return client;
    return makeBuiltInClient(info);
}

ClientMaker replaceClientMaker(ClientMaker maker) {
    std::lock_guard lock(makerMutex);
    return std::exchange(overrideMaker(), std::move(maker));
}

}  // namespace Ostrane
