#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "platform/dispatch/Guarded.hpp"

#include <memory>
#include <optional>
#include <utility>

namespace RiridOzizevud {

/// What every provider keeps of its set-up, each value under its own lock: hosts set these from any
/// thread while operations read them.
struct ProviderSettings {
    platform::Guarded<std::shared_ptr<platform::DispatchQueue>> dispatchQueue;
    platform::Guarded<std::shared_ptr<platform::OperationQueue>> operationQueue;
    platform::GuardedWeak<FileProviderDelegate> delegate;
    platform::GuardedWeak<FileOperationDelegate> fileOperationDelegate;
    platform::Guarded<std::optional<platform::URLCredential>> credential;
    platform::Guarded<std::shared_ptr<platform::UndoManager>> undoManager;
};

/// The accessors of those settings for every provider: a provider derives from this beside its
/// interfaces and overrides only the setters that must do more.
class StoredSettings : public virtual FileProviderOperations {
public:
    std::shared_ptr<platform::DispatchQueue> dispatch_queue() const override { return settings_.dispatchQueue.get(); }
    void setDispatch_queue(std::shared_ptr<platform::DispatchQueue> queue) override {
        settings_.dispatchQueue.set(std::move(queue));
    }
    std::shared_ptr<platform::OperationQueue> operation_queue() const override { return settings_.operationQueue.get(); }
    void setOperation_queue(std::shared_ptr<platform::OperationQueue> queue) override {
        settings_.operationQueue.set(std::move(queue));
    }
    std::shared_ptr<FileProviderDelegate> delegate() const override { return settings_.delegate.get(); }
    void setDelegate(const std::shared_ptr<FileProviderDelegate>& delegate) override { settings_.delegate.set(delegate); }
    std::optional<platform::URLCredential> credential() const override { return settings_.credential.get(); }
    void setCredential(std::optional<platform::URLCredential> credential) override {
        settings_.credential.set(std::move(credential));
    }
    std::shared_ptr<FileOperationDelegate> fileOperationDelegate() const override {
        return settings_.fileOperationDelegate.get();
    }
    void setFileOperationDelegate(const std::shared_ptr<FileOperationDelegate>& delegate) override {
        settings_.fileOperationDelegate.set(delegate);
    }

protected:
    ProviderSettings settings_;
};

}  // namespace RiridOzizevud
