// A provider over an in-memory tree that completes on a worker queue, as real providers do, for
// driving the interface defaults, the delegates and undo.
#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/base/UndoManager.hpp"
#include "support/Wait.hpp"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace fptest {

using namespace RiridOzizevud;

class FakeProvider : public FileProvider,
                     public FileProvideUndoable,
                     public FileProviderReadWriteProgressive,
                     public ExtendedFileProvider {
public:
    // Bring every form of each overload set into scope (the overrides below would hide them).
    using FileProviderBasic::searchFiles;
    using FileProviderOperations::copyItem;
    using FileProviderOperations::moveItem;
    using FileProviderReadWrite::contents;
    using FileProviderReadWrite::writeContents;
    using FileProviderReadWriteProgressive::contents;
    using FileProvideUndoable::canUndo;
    using ExtendedFileProvider::thumbnailOfFile;

    static std::string staticType() { return "Fake"; }

    static std::shared_ptr<FakeProvider> make(std::optional<platform::URL> base = std::nullopt) {
        return std::shared_ptr<FakeProvider>(new FakeProvider(std::move(base)));
    }

    // --- test controls ---
    struct Call {
        std::string name;
        std::vector<std::string> args;
    };
    std::vector<Call> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void addFile(const std::string& path, bool directory = false) {
        std::lock_guard lock(mutex_);
        files_[path] = directory;
    }
    /// A change by the user: the file's size grows.
    void changeFile(const std::string& path) {
        std::lock_guard lock(mutex_);
        ++sizes_[path];
    }
    bool exists(const std::string& path) {
        std::lock_guard lock(mutex_);
        return files_.count(path) > 0;
    }
    /// Whether `path` was listed (at least `times` times), or its attributes asked for.
    bool listed(const std::string& path, int times = 1) { return count("contentsOfDirectory", path) >= times; }
    bool asked(const std::string& path) { return count("attributesOfItem", path) > 0; }
    /// Listings hold their completion here instead of answering.
    void holdListings(bool hold) {
        std::lock_guard lock(mutex_);
        holdListings_ = hold;
    }
    /// Answers the held listings (an empty listing).
    void releaseHeldListings() {
        std::vector<FilesCompletionHandler> held;
        {
            std::lock_guard lock(mutex_);
            held.swap(held_);
        }
        for (auto& h : held)
            h({}, nullptr);
    }
    /// Waits until `count` operations have completed.
    bool waitForCompletions(int count, std::chrono::steady_clock::duration limit = ostrane_test::hangLimit) {
        std::unique_lock lock(mutex_);
        return ostrane_test::waitUntil(changed_, lock, [&] { return completed_ >= count; }, limit);
    }
    int completions() {
        std::lock_guard lock(mutex_);
        return completed_;
    }

    // --- FileProviderBasic ---
    std::string type() const override { return staticType(); }
    std::optional<platform::URL> baseURL() const override { return base_; }
    std::shared_ptr<platform::DispatchQueue> dispatch_queue() const override { return queue_; }
    void setDispatch_queue(std::shared_ptr<platform::DispatchQueue> q) override { queue_ = std::move(q); }
    std::shared_ptr<platform::OperationQueue> operation_queue() const override { return opQueue_; }
    void setOperation_queue(std::shared_ptr<platform::OperationQueue> q) override { opQueue_ = std::move(q); }
    std::shared_ptr<FileProviderDelegate> delegate() const override {
        std::lock_guard lock(mutex_);
        return delegate_.lock();
    }
    void setDelegate(const std::shared_ptr<FileProviderDelegate>& d) override {
        std::lock_guard lock(mutex_);
        delegate_ = d;
    }
    std::optional<platform::URLCredential> credential() const override { return credential_; }
    void setCredential(std::optional<platform::URLCredential> c) override { credential_ = std::move(c); }

    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completion) override {
        std::vector<FileObjectRef> out;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({"contentsOfDirectory", {path}});
            if (holdListings_) {
                held_.push_back(std::move(completion));
                return;
            }
            const std::string prefix = path.empty() || path.back() == '/' ? path : path + "/";
            for (const auto& [p, dir] : files_) {
                if (p.compare(0, prefix.size(), prefix) != 0 || p.find('/', prefix.size()) != std::string::npos)
                    continue;
                auto f = std::make_shared<FileObject>(url(p), p.substr(prefix.size()), p);
                f->setType(dir ? platform::URLFileResourceType::directory : platform::URLFileResourceType::regular);
                f->setSize(sizes_[p]);
                out.push_back(std::move(f));
            }
        }
        queue_->async([completion = std::move(completion), out = std::move(out)] { completion(out, nullptr); });
    }
    void attributesOfItem(const std::string& path, FileCompletionHandler completion) override {
        record("attributesOfItem", {path});
        FileObjectRef file;
        {
            std::lock_guard lock(mutex_);
            if (const auto it = files_.find(path); it != files_.end()) {
                file = std::make_shared<FileObject>(std::nullopt, path.substr(path.find_last_of('/') + 1), path);
                file->setType(it->second ? platform::URLFileResourceType::directory : platform::URLFileResourceType::regular);
                file->setSize(sizes_[path]);
            }
        }
        queue_->async([completion, path, file] {
            completion(file, file ? nullptr : platform::CocoaError::make(platform::CocoaError::fileNoSuchFile, path));
        });
    }
    void storageProperties(std::function<void(VolumeObjectRef)> completion) override {
        queue_->async([completion] { completion(nullptr); });
    }
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            FoundItemHandler found, FilesCompletionHandler completion) override {
        record("searchFiles", {path, recursive ? "recursive" : "flat", query ? query->predicateFormat() : ""});
        contentsOfDirectory(path, [query, found, completion](std::vector<FileObjectRef> files, ErrorRef error) {
            std::vector<FileObjectRef> matches;
            for (auto& f : files)
                if (query->evaluate(f->predicateAttributes())) {
                    if (found)
                        found(f);
                    matches.push_back(f);
                }
            completion(matches, error);
        });
        return platform::Progress::make(-1);
    }
    void isReachable(std::function<void(bool, ErrorRef)> completion) override {
        queue_->async([completion] { completion(true, nullptr); });
    }

    // --- FileProviderOperations ---
    std::shared_ptr<FileOperationDelegate> fileOperationDelegate() const override {
        std::lock_guard lock(mutex_);
        return opDelegate_.lock();
    }
    void setFileOperationDelegate(const std::shared_ptr<FileOperationDelegate>& d) override {
        std::lock_guard lock(mutex_);
        opDelegate_ = d;
    }
    ProgressRef create(const std::string& folder, const std::string& at, SimpleCompletionHandler c) override {
        const std::string path = (at.empty() || at.back() == '/' ? at : at + "/") + folder;
        return run(FileOperationType::create(path), std::move(c), [this, path] { files_[path] = true; return true; });
    }
    ProgressRef moveItem(const std::string& path, const std::string& to, bool overwrite, SimpleCompletionHandler c) override {
        record("moveItem", {path, to, overwrite ? "overwrite" : "keep"});
        return run(FileOperationType::move(path, to), std::move(c), [this, path, to, overwrite] {
            if (!files_.count(path) || (files_.count(to) && !overwrite))
                return false;
            files_[to] = files_[path];
            files_.erase(path);
            return true;
        });
    }
    ProgressRef copyItem(const std::string& path, const std::string& to, bool overwrite, SimpleCompletionHandler c) override {
        record("copyItem", {path, to, overwrite ? "overwrite" : "keep"});
        return run(FileOperationType::copy(path, to), std::move(c), [this, path, to, overwrite] {
            if (!files_.count(path) || (files_.count(to) && !overwrite))
                return false;
            // A folder is copied with everything below it.
            const std::string below = path + "/";
            std::map<std::string, bool> copied;
            for (const auto& [p, dir] : files_)
                if (p == path || p.compare(0, below.size(), below) == 0)
                    copied[to + p.substr(path.size())] = dir;
            files_.insert(copied.begin(), copied.end());
            return true;
        });
    }
    ProgressRef removeItem(const std::string& path, SimpleCompletionHandler c) override {
        record("removeItem", {path});
        return run(FileOperationType::remove(path), std::move(c), [this, path] {
            if (!files_.erase(path))
                return false;
            const std::string below = path + "/";
            std::erase_if(files_, [&](const auto& entry) { return entry.first.compare(0, below.size(), below) == 0; });
            return true;
        });
    }
    ProgressRef copyItem(const platform::URL& localFile, const std::string& to, bool overwrite,
                         SimpleCompletionHandler c) override {
        record("upload", {localFile.absoluteString(), to, overwrite ? "overwrite" : "keep"});
        return run(FileOperationType::copy(localFile.absoluteString(), to), std::move(c), [this, to] {
            files_[to] = false;
            return true;
        });
    }
    ProgressRef copyItem(const std::string& path, const platform::URL& toLocalURL, SimpleCompletionHandler c) override {
        record("download", {path, toLocalURL.absoluteString()});
        return run(FileOperationType::copy(path, toLocalURL.absoluteString()), std::move(c), [] { return true; });
    }

    // --- FileProviderReadWrite ---
    ProgressRef contents(const std::string& path, int64_t offset, int64_t length, DataCompletionHandler c) override {
        record("contents", {path, std::to_string(offset), std::to_string(length)});
        queue_->async([c] { c(Data{1, 2, 3}, nullptr); });
        return platform::Progress::make(1);
    }
    ProgressRef writeContents(const std::string& path, const std::optional<Data>&, bool atomically, bool overwrite,
                              SimpleCompletionHandler c) override {
        record("writeContents", {path, atomically ? "atomic" : "direct", overwrite ? "overwrite" : "keep"});
        return run(FileOperationType::modify(path), std::move(c), [] { return true; });
    }

    // --- FileProviderReadWriteProgressive ---
    ProgressRef contents(const std::string& path, int64_t offset, int64_t length, ResponseHandler response,
                         ProgressDataHandler progress, SimpleCompletionHandler c) override {
        record("contentsProgressive",
               {path, std::to_string(offset), std::to_string(length), response ? "response" : "no response"});
        queue_->async([progress, c] {
            if (progress)
                progress(0, Data{9});
            if (c)
                c(nullptr);
        });
        return platform::Progress::make(1);
    }

    // --- FileProvideUndoable ---
    std::shared_ptr<platform::UndoManager> undoManager() const override {
        std::lock_guard lock(mutex_);
        return undoManager_;
    }
    void setUndoManager(std::shared_ptr<platform::UndoManager> m) override {
        std::lock_guard lock(mutex_);
        undoManager_ = std::move(m);
    }

    // --- ExtendedFileProvider ---
    bool propertiesOfFileSupported(const std::string&) override { return false; }
    ProgressRef propertiesOfFile(const std::string&, PropertiesCompletionHandler c) override {
        queue_->async([c] { c({}, {}, platform::CocoaError::make(platform::CocoaError::featureUnsupported)); });
        return nullptr;
    }
    bool thumbnailOfFileSupported(const std::string&) override { return false; }
    ProgressRef thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                ThumbnailCompletionHandler c) override {
        record("thumbnail", {path, dimension ? std::to_string(dimension->width) : "default"});
        queue_->async([c] { c(nullptr, platform::CocoaError::make(platform::CocoaError::featureUnsupported)); });
        return nullptr;
    }

protected:
    explicit FakeProvider(std::optional<platform::URL> base)
        : base_(std::move(base)),
          queue_(platform::DispatchQueue::make("FileProvider.Fake", platform::DispatchQueue::Attributes::concurrent)),
          opQueue_(platform::OperationQueue::make("FileProvider.Fake.Operation")) {}

private:
    int count(const std::string& name, const std::string& path) {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& c : calls_)
            n += c.name == name && !c.args.empty() && c.args.front() == path;
        return n;
    }
    void record(std::string name, std::vector<std::string> args) {
        std::lock_guard lock(mutex_);
        calls_.push_back({std::move(name), std::move(args)});
    }

    // Asks the operation delegate, then performs `change` on the worker queue and reports the
    // result the way every provider does: undo, completion, delegate.
    template <class Change>
    ProgressRef run(const FileOperationType& op, SimpleCompletionHandler completion, Change change) {
        auto self = std::dynamic_pointer_cast<FakeProvider>(shared_from_this());
        if (const auto d = fileOperationDelegate(); d && !d->fileProviderShouldStart(self, op))
            return nullptr;
        auto progress = platform::Progress::make(1);
        progress->setUserInfoObject(progressValue(op), fileProvderOperationTypeKey);
        queue_->async([self, op, completion = std::move(completion), change, progress] {
            bool ok;
            {
                std::lock_guard lock(self->mutex_);
                ok = change();
            }
            ErrorRef error = ok ? nullptr : platform::CocoaError::make(platform::CocoaError::fileWriteUnknown, op.source());
            if (ok) {
                self->_registerUndo(op);
                progress->setCompletedUnitCount(1);
            }
            if (completion)
                completion(error);
            notifyOperationResult(self, op, error);
            {
                std::lock_guard lock(self->mutex_);
                ++self->completed_;
            }
            self->changed_.notify_all();
        });
        return progress;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<platform::URL> base_;
    std::shared_ptr<platform::DispatchQueue> queue_;
    std::shared_ptr<platform::OperationQueue> opQueue_;
    std::weak_ptr<FileProviderDelegate> delegate_;
    std::weak_ptr<FileOperationDelegate> opDelegate_;
    std::optional<platform::URLCredential> credential_;
    std::shared_ptr<platform::UndoManager> undoManager_;
    std::map<std::string, bool> files_;
    std::map<std::string, int64_t> sizes_;
    std::vector<Call> calls_;
    bool holdListings_ = false;
    std::vector<FilesCompletionHandler> held_;
    int completed_ = 0;
};

} // namespace fptest
