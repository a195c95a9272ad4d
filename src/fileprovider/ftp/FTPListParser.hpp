// FTP listing lines into entries (MLSD/MLST facts, Unix and DOS "LIST" lines) and the addresses of
// "PASV" and "EPSV" replies. Pure functions of their text, so they can be fuzzed on their own.
#pragma once

#include "fileprovider/core/FileObject.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace RiridOzizevud {

inline constexpr const char* linkCountKey = "NSURLLinkCountKey";
inline constexpr const char* fileResourceIdentifierKey = "NSURLFileResourceIdentifierKey";

/// url(of:) of a provider path on an FTP base URL: percent-encoded, every leading "/" and dot segment
/// removed, relative to the base; no user or password. Without a base, the encoded path alone.
platform::URL ftpURL(const std::string& path, const std::optional<platform::URL>& baseURL);

/// One MLSD/MLST facts line ("type=file;size=3; name"); nothing when it is no usable entry. Fact
/// times are read as UTC, as RFC 3659 gives them.
FileObjectRef parseMLSTLine(const std::string& line, const std::string& directory,
                            const std::optional<platform::URL>& baseURL);
/// One Unix long-listing line; nothing when it does not fit. Dates are local time.
FileObjectRef parseUnixListLine(const std::string& line, const std::string& directory,
                                const std::optional<platform::URL>& baseURL);
/// One DOS/IIS listing line; nothing when it does not fit.
FileObjectRef parseDOSListLine(const std::string& line, const std::string& directory,
                               const std::optional<platform::URL>& baseURL);
/// Every line that gives an entry, in order: facts lines with `useMLST`, else Unix, then DOS.
std::vector<FileObjectRef> parseFTPListLines(const std::vector<std::string>& lines, bool useMLST,
                                             const std::string& directory, const std::optional<platform::URL>& baseURL);

struct FTPDataAddress {
    /// Empty: the control connection's host.
    std::string host;
    int port = 0;
};

/// The last word of a "227" reply: six numbers, host and port. Numbers outside 0...255 make no
/// address. The host "127.555.555.555" stands for the control connection's host.
std::optional<FTPDataAddress> parsePASVReply(const std::string& reply);
/// The last word of a "229" reply, "(|||port|)": the port, and the host when the reply names one.
std::optional<FTPDataAddress> parseEPSVReply(const std::string& reply);

} // namespace RiridOzizevud
