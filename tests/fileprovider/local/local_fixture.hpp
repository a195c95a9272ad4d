// Shared pieces of the local provider tests: a real temporary folder holding a provider base, file
// helpers, and a recorder that counts completion calls and waits for them with a bound.
#pragma once

#include "fileprovider/local/LocalFileProvider.hpp"
#include "platform/base/Error.hpp"
#include "support/Calls.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace localtest {

namespace fs = std::filesystem;
using namespace RiridOzizevud;

using ostrane_test::Calls;

struct Listing {
    std::vector<FileObjectRef> files;
    ErrorRef error;
};
struct Read {
    std::optional<Data> data;
    ErrorRef error;
};

inline void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

/// The code of a Cocoa error, or -1.
inline int64_t cocoaCode(const ErrorRef& error) {
    return error && error->domain() == platform::NSCocoaErrorDomain ? error->code() : -1;
}

/// A fresh folder under the system's temporary folder; its name has a space so every test meets one.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "ostrane local XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

class LocalProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = temp.path() / "base";
        fs::create_directories(base);
        provider = LocalFileProvider::make(platform::URL::fileURLWithPath(base.string(), true));
    }

    Listing list(const std::string& path) {
        Calls<Listing> calls;
        provider->contentsOfDirectory(path, [&](std::vector<FileObjectRef> files, ErrorRef error) {
            calls.add({std::move(files), error});
        });
        EXPECT_TRUE(calls.waitFor(1));
        return calls.count() ? calls.first() : Listing{};
    }

    std::vector<std::string> names(const std::vector<FileObjectRef>& files) {
        std::vector<std::string> out;
        for (const auto& f : files) out.push_back(f->name());
        std::sort(out.begin(), out.end());
        return out;
    }

    /// Runs one operation and returns the error its completion got; fails the test unless the
    /// completion is called exactly once.
    template <class Start>
    ErrorRef run(Start start, ProgressRef* progressOut = nullptr) {
        auto calls = std::make_shared<Calls<ErrorRef>>();
        ProgressRef progress = start([calls](ErrorRef e) { calls->add(e); });
        if (progressOut) *progressOut = progress;
        EXPECT_TRUE(calls->waitFor(1));
        std::this_thread::sleep_for(ostrane_test::quietPeriod);  // a second call would show here
        EXPECT_EQ(calls->count(), 1u);
        return calls->count() ? calls->first() : nullptr;
    }

    TempFolder temp;
    fs::path base;
    std::shared_ptr<LocalFileProvider> provider;
};

} // namespace localtest
