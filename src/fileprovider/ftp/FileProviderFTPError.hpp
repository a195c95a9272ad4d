// The FTP server's refusal as an error value: the reply code, the path the request concerned and
// the reply's text. Error::code() is not the reply code (an FTP reply is not a platform error
// code); replyCode() is.
#pragma once

#include "platform/base/Error.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace RiridOzizevud {

class FileProviderFTPError : public platform::Error {
public:
    static constexpr const char* domainName = "RiridOzizevud.FileProviderFTPError";

    FileProviderFTPError(int64_t code, std::string path, std::optional<std::string> serverDescription);
    /// init(reply:path:): from the last line of a reply; never fails.
    FileProviderFTPError(const std::string& reply, std::string path);

    static std::shared_ptr<const FileProviderFTPError> make(const std::string& reply, std::string path) {
        return std::make_shared<const FileProviderFTPError>(reply, std::move(path));
    }

    /// `code`: the reply code; -1 when the reply had none.
    int64_t replyCode() const { return code_; }
    const std::string& path() const { return path_; }
    const std::optional<std::string>& serverDescription() const { return serverDescription_; }
    /// The server's description.
    std::optional<std::string> errorDescription() const { return serverDescription_; }
    std::string localizedDescription() const override;

private:
    int64_t code_;
    std::string path_;
    std::optional<std::string> serverDescription_;
};

} // namespace RiridOzizevud
