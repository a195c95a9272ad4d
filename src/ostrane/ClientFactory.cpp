#include "ostrane/ClientFactory.hpp"

#include "ostrane/UnavailableClient.hpp"
#include "ostrane/curl/CURLClient.hpp"
#include "ostrane/fileprovider/FileProviderClient.hpp"
#include "ostrane/sftp/NMSSHClient.hpp"
#include "ostrane/smb/AMSMB2Client.hpp"

#include <mutex>

// Each kind has its own branch below; a client's engineer replaces only that branch (and adds the
// include for the client's header here).

namespace Ostrane {
namespace {

std::mutex makerMutex;
ClientMaker& overrideMaker() {
    static ClientMaker maker;
    return maker;
}

std::shared_ptr<OstraneClient> makeBuiltInClient(const OstraneInfo& info) {
    switch (info.type) {
    // --- SFTP: NMSSHClient --------------------------------------------------------------------
    case OstraneType::sftp:
        return NMSSHClient::make(info);

    // --- SMB: AMSMB2Client --------------------------------------------------------------------
    case OstraneType::smb:
        return AMSMB2Client::make(info);

    // --- WebDAV: FileProviderClient -----------------------------------------------------------
    case OstraneType::webdav:
        return FileProviderClient::make(info);

    // --- FTP (and any other value): CURLClient ------------------------------------------------
    case OstraneType::ftp:
        break;
    }
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
