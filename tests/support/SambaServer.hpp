#pragma once
// The smbd of tests/servers/samba.sh: its login and share, and the folder it serves.

#include "support/ServerScript.hpp"

#include <filesystem>
#include <fstream>
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
    /// The process group of the running smbd and its connection processes (0 when not running).
    int processGroup() const {
        int group = 0;
        std::ifstream(directory() / "run" / "smbd.group") >> group;
        return group;
    }
};

}  // namespace ostrane_test
