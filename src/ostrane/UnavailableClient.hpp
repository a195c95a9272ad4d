#pragma once
// Stands in for a kind of client that this build does not have: every operation fails with an
// OstraneError, so the registry can hand out a client for every record.
#include "ostrane/OstraneClient.hpp"

#include <mutex>

namespace Ostrane {

class UnavailableClient final : public OstraneClient {
public:
    explicit UnavailableClient(OstraneInfo info);

    const OstraneInfo& info() const override { return info_; }
    std::string baseDir() const override;
    std::shared_ptr<OstraneDirectory> baseDirItem() override;
    void login(LoginCompletion finish) override;
    bool isConnected() const override { return false; }
    void contents(std::shared_ptr<OstranePathComponent> of, ContentsCompletion finish) override;
    void contents(const std::string& dir, NamesCompletion finish) override;
    void download(const std::string& file, const platform::URL& to, DownloadCompletion completion) override;
    std::shared_ptr<NetworkFileDescriptor> open(const std::string& file) override;
    std::optional<Bytes> read(const std::shared_ptr<NetworkFileDescriptor>& file, std::int64_t offset,
                              std::ptrdiff_t size) override;
    std::optional<std::int64_t> fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) override;
    void close(const std::shared_ptr<NetworkFileDescriptor>& file) override;
    std::optional<std::string> address(const platform::URL& of) override;
    std::optional<UserPassword> userpassword(const platform::URL& of) override;

    /// "<kind> client is not available".
    OstraneErrorRef error() const;

private:
    const OstraneInfo info_;
    std::mutex mutex_;
    std::shared_ptr<OstraneDirectory> baseDirItem_;
};

}  // namespace Ostrane
