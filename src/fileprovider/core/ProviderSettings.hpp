#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "platform/Guarded.hpp"

#include <memory>
#include <optional>

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

}  // namespace RiridOzizevud
