#pragma once
// The smbd of tests/servers/samba.sh: its login and share, and the folder it serves.

#include "support/ServerScript.hpp"

#include <filesystem>
#include <string>

namespace ostrane_test {

class SambaServer : public ServerScript {
public:
    static constexpr const char* user = "ostranesmb";
    static constexpr const char* password = "Ostrane-Smb-Test-1";
    static constexpr const char* share = "share";

    // The share's folder exists (empty) before start, so the script adds no sample content.
    SambaServer() : ServerScript("samba.sh") { std::filesystem::create_directories(shareDirectory()); }

    std::filesystem::path shareDirectory() const { return directory() / "share"; }
    std::string url() const { return "smb://127.0.0.1:" + std::to_string(port()); }
};

}  // namespace ostrane_test
