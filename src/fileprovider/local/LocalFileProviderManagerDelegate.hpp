// RiridOzizevud::LocalFileProviderManagerDelegate — the delegate of a local provider's operation
// file manager: each item of a copy, move, removal or link is put to the provider's
// fileOperationDelegate as an operation on provider-relative paths.
#pragma once

#include "platform/fs/FileManager.hpp"

#include <memory>

namespace RiridOzizevud {

class LocalFileProvider;

class LocalFileProviderManagerDelegate : public platform::FileManagerDelegate {
public:
    explicit LocalFileProviderManagerDelegate(std::weak_ptr<LocalFileProvider> provider) : provider(std::move(provider)) {}

    /// With no provider or no operation delegate: true.
    bool shouldCopyItemAtURL(platform::FileManager&, const platform::URL& src, const platform::URL& dst) override;
    bool shouldMoveItemAtURL(platform::FileManager&, const platform::URL& src, const platform::URL& dst) override;
    bool shouldRemoveItemAtURL(platform::FileManager&, const platform::URL& url) override;
    bool shouldLinkItemAtURL(platform::FileManager&, const platform::URL& src, const platform::URL& dst) override;
    /// With no provider or no operation delegate: false.
    bool shouldProceedAfterErrorCopyingItemAtURL(platform::FileManager&, const platform::ErrorRef& error,
                                                 const platform::URL& src, const platform::URL& dst) override;
    bool shouldProceedAfterErrorMovingItemAtURL(platform::FileManager&, const platform::ErrorRef& error,
                                                const platform::URL& src, const platform::URL& dst) override;
    bool shouldProceedAfterErrorRemovingItemAtURL(platform::FileManager&, const platform::ErrorRef& error,
                                                  const platform::URL& url) override;
    bool shouldProceedAfterErrorLinkingItemAtURL(platform::FileManager&, const platform::ErrorRef& error,
                                                 const platform::URL& src, const platform::URL& dst) override;

    const std::weak_ptr<LocalFileProvider> provider;
};

} // namespace RiridOzizevud
