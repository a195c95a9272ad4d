#include "fileprovider/local/LocalFileProviderManagerDelegate.hpp"

#include "fileprovider/local/LocalFileProvider.hpp"

namespace RiridOzizevud {

namespace {

using platform::URL;

template <class Build>
bool askStart(const std::weak_ptr<LocalFileProvider>& weak, Build build) {
    const auto provider = weak.lock();
    if (!provider) return true;
    const auto delegate = provider->fileOperationDelegate();
    if (!delegate) return true;
    return delegate->fileProviderShouldStart(provider, build(*provider));
}

template <class Build>
bool askProceed(const std::weak_ptr<LocalFileProvider>& weak, const platform::ErrorRef& error, Build build) {
    const auto provider = weak.lock();
    if (!provider) return false;
    const auto delegate = provider->fileOperationDelegate();
    if (!delegate) return false;
    return delegate->fileProviderShouldProceed(provider, error, build(*provider));
}

} // namespace

bool LocalFileProviderManagerDelegate::shouldCopyItemAtURL(platform::FileManager&, const URL& src, const URL& dst) {
    return askStart(provider, [&](LocalFileProvider& p) {
        return FileOperationType::copy(p.relativePathOf(src), p.relativePathOf(dst));
    });
}

bool LocalFileProviderManagerDelegate::shouldMoveItemAtURL(platform::FileManager&, const URL& src, const URL& dst) {
    return askStart(provider, [&](LocalFileProvider& p) {
        return FileOperationType::move(p.relativePathOf(src), p.relativePathOf(dst));
    });
}

bool LocalFileProviderManagerDelegate::shouldRemoveItemAtURL(platform::FileManager&, const URL& url) {
    return askStart(provider, [&](LocalFileProvider& p) { return FileOperationType::remove(p.relativePathOf(url)); });
}

bool LocalFileProviderManagerDelegate::shouldLinkItemAtURL(platform::FileManager&, const URL& src, const URL& dst) {
    return askStart(provider, [&](LocalFileProvider& p) {
        return FileOperationType::link(p.relativePathOf(src), p.relativePathOf(dst));
    });
}

bool LocalFileProviderManagerDelegate::shouldProceedAfterErrorCopyingItemAtURL(platform::FileManager&,
                                                                               const platform::ErrorRef& error,
                                                                               const URL& src, const URL& dst) {
    return askProceed(provider, error, [&](LocalFileProvider& p) {
        return FileOperationType::copy(p.relativePathOf(src), p.relativePathOf(dst));
    });
}

bool LocalFileProviderManagerDelegate::shouldProceedAfterErrorMovingItemAtURL(platform::FileManager&,
                                                                              const platform::ErrorRef& error,
                                                                              const URL& src, const URL& dst) {
    return askProceed(provider, error, [&](LocalFileProvider& p) {
        return FileOperationType::move(p.relativePathOf(src), p.relativePathOf(dst));
    });
}

bool LocalFileProviderManagerDelegate::shouldProceedAfterErrorRemovingItemAtURL(platform::FileManager&,
                                                                                const platform::ErrorRef& error,
                                                                                const URL& url) {
    return askProceed(provider, error,
                      [&](LocalFileProvider& p) { return FileOperationType::remove(p.relativePathOf(url)); });
}

bool LocalFileProviderManagerDelegate::shouldProceedAfterErrorLinkingItemAtURL(platform::FileManager&,
                                                                               const platform::ErrorRef& error,
                                                                               const URL& src, const URL& dst) {
    return askProceed(provider, error, [&](LocalFileProvider& p) {
        return FileOperationType::link(p.relativePathOf(src), p.relativePathOf(dst));
    });
}

} // namespace RiridOzizevud
