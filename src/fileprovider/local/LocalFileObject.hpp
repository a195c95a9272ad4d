// RiridOzizevud::LocalFileObject — the entry of one local file, folder or link: the resource values
// the file system reports for its URL, under their own keys. A value the file system cannot tell
// is absent, never a made-up default. Its path is provider-relative and begins with "/".
#pragma once

#include "fileprovider/core/FileObject.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace RiridOzizevud {

class LocalFileObject : public FileObject {
    struct Token {};

public:
    /// The thirteen resource keys an entry asks the file system for.
    static const std::vector<std::string>& resourceKeys();

    /// init?(fileWithURL:): nullptr when the item cannot be examined (missing, not accessible).
    static std::shared_ptr<LocalFileObject> make(const platform::URL& fileWithURL);
    /// init?(fileWithPath:relativeTo:): `fileWithPath` relative to the base, or the absolute path of
    /// an item inside it. Dot segments are resolved inside the base, so the entry never names an
    /// item above it. nullptr as above.
    static std::shared_ptr<LocalFileObject> make(const std::string& fileWithPath,
                                                 const std::optional<platform::URL>& relativeTo);

    LocalFileObject(Token, const platform::URL& url, const std::string& name, const std::string& path);

    /// NSURLFileAllocatedSizeKey; 0 when absent.
    int64_t allocatedSize() const;
    /// NSURLDocumentIdentifierKey, when present.
    std::optional<int64_t> id() const;
    /// NSURLGenerationIdentifierKey as lower-case hexadecimal text, when present.
    std::optional<std::string> rev() const;

    /// Counted afresh on each read: the names in the folder (hidden ones too); none when the entry
    /// is no folder or cannot be listed. Setting it does nothing.
    std::optional<int64_t> childrensCount() const override;
    void setChildrensCount(std::optional<int64_t> count) override;
};

using LocalFileObjectRef = std::shared_ptr<LocalFileObject>;

} // namespace RiridOzizevud
