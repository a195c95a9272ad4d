// RiridOzizevud::SMBFileProvider — the provider interface for an SMB2 file server, not yet wired to
// an SMB2 session. It can be made, archived, unarchived and copied; its operations do no work and
// answer with an error ("Unimplemented operation …"), each completion once on dispatch_queue.
#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "fileprovider/core/ProviderSettings.hpp"
#include "platform/data/KeyedArchive.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace RiridOzizevud {

class SMBFileProvider : public FileProvider, public FileProviderMonitor,
                        public StoredSettings {
    struct Token {};

public:
    using FileProviderBasic::searchFiles;
    using FileProviderOperations::copyItem;
    using FileProviderOperations::moveItem;
    using FileProviderReadWrite::contents;
    using FileProviderReadWrite::writeContents;

    static std::string staticType() { return "SMB"; }
    static constexpr bool supportsSecureCoding = true;

    /// nullptr unless the scheme, lower-cased, is "smb". The base URL gets a final "/".
    static std::shared_ptr<SMBFileProvider> make(const platform::URL& url,
                                                 std::optional<platform::URLCredential> credential = std::nullopt);
    /// init(coder:): throws platform::Exception (CocoaError coderValueNotFound, "Base URL is not
    /// set.") without "baseURL"; nullptr when the archived URL is not an SMB URL.
    static std::shared_ptr<SMBFileProvider> make(const platform::KeyedUnarchiver& coder);
    /// encode(with:): "baseURL" and "credential".
    void encode(platform::KeyedArchiver& coder) const;
    /// copy(with:): same base URL, credential and delegates; queues of its own.
    std::shared_ptr<SMBFileProvider> copy() const;

    SMBFileProvider(Token, platform::URL baseURL, std::optional<platform::URLCredential> credential);

    // --- FileProviderBasic ---
    std::string type() const override { return staticType(); }
    std::optional<platform::URL> baseURL() const override;

    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) override;
    void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) override;
    /// The volume is nullptr.
    void storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) override;
    /// No item is found.
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) override;
    void isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) override;

    // --- FileProviderOperations ---
    ProgressRef create(const std::string& folder, const std::string& at,
                       SimpleCompletionHandler completionHandler) override;
    ProgressRef moveItem(const std::string& path, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef copyItem(const std::string& path, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef removeItem(const std::string& path, SimpleCompletionHandler completionHandler) override;
    ProgressRef copyItem(const platform::URL& localFile, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef copyItem(const std::string& path, const platform::URL& toLocalURL,
                         SimpleCompletionHandler completionHandler) override;

    // --- FileProviderReadWrite ---
    ProgressRef contents(const std::string& path, DataCompletionHandler completionHandler) override;
    ProgressRef contents(const std::string& path, int64_t offset, int64_t length,
                         DataCompletionHandler completionHandler) override;
    ProgressRef writeContents(const std::string& path, const std::optional<Data>& contents, bool atomically,
                              bool overwrite, SimpleCompletionHandler completionHandler) override;

    // --- FileProviderMonitor: nothing is ever watched ---
    void registerNotifcation(const std::string& path, std::function<void()> eventHandler) override;
    void unregisterNotifcation(const std::string& path) override;
    bool isRegisteredForNotification(const std::string& path) override;

private:
    /// Calls `answer` on dispatch_queue with the error of `member`, so that the caller's completion
    /// runs once, on a provider thread, as for every provider.
    void fail(const std::string& member, std::function<void(ErrorRef)> answer) const;

    const platform::URL baseURL_;
};

} // namespace RiridOzizevud
