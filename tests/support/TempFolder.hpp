// A private folder for one test, removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testsupport {

struct TempFolder {
    std::filesystem::path path;

    explicit TempFolder(const std::string& label = "ostrane-test", std::filesystem::path parent = {}) {
        if (parent.empty()) parent = std::filesystem::temp_directory_path();
        std::string pattern = (parent / (label + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed under " + parent.string());
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

} // namespace testsupport
