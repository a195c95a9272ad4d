// What the iCloud provider tests share: a ubiquity root in a fresh temporary folder with a
// hostile name, the default container set, and waits for completions bounded by the hang limit.
#pragma once

#include "fileprovider/cloud/CloudFileProvider.hpp"
#include "platform/base/Error.hpp"
#include "platform/fs/UbiquityContainer.hpp"
#include "support/Calls.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cloudtest {

namespace fs = std::filesystem;
using namespace RiridOzizevud;

inline const std::string containerName = "iCloud~org~example~Player";

using ostrane_test::Calls;

struct Listing {
    std::vector<FileObjectRef> files;
    ErrorRef error;
};

inline void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline int64_t cocoaCode(const ErrorRef& error) {
    return error && error->domain() == platform::NSCocoaErrorDomain ? error->code() : -1;
}

inline std::vector<std::string> names(const std::vector<FileObjectRef>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f->name());
    std::sort(out.begin(), out.end());
    return out;
}

class CloudTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ostrane cloud 'q' #% é XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        temp = pattern;
        root = temp / "Mobile Documents";
        fs::create_directories(root);
        platform::UbiquityContainer::setRootURL(platform::URL::fileURLWithPath(root.string(), true));
        platform::UbiquityContainer::setDefaultIdentifier(containerName);
    }
    void TearDown() override {
        provider.reset();
        platform::UbiquityContainer::setRootURL(std::nullopt);
        platform::UbiquityContainer::setDefaultIdentifier(std::nullopt);
        std::error_code ec;
        fs::remove_all(temp, ec);
    }

    /// A provider of the default container's data scope; its base is `container()`.
    std::shared_ptr<CloudFileProvider> makeProvider() {
        provider = CloudFileProvider::make(std::nullopt, UbiquitousScope::data);
        return provider;
    }
    fs::path container() const { return root / containerName; }

    Listing list(const std::string& path) {
        Calls<Listing> calls;
        provider->contentsOfDirectory(path, [&](std::vector<FileObjectRef> files, ErrorRef error) {
            calls.add({std::move(files), error});
        });
        EXPECT_TRUE(calls.waitFor(1));
        std::this_thread::sleep_for(ostrane_test::quietPeriod);  // a second call would show here
        EXPECT_EQ(calls.count(), 1u);
        return calls.count() ? calls.values().front() : Listing{};
    }

    std::pair<FileObjectRef, ErrorRef> attributes(const std::string& path) {
        Calls<std::pair<FileObjectRef, ErrorRef>> calls;
        provider->attributesOfItem(path, [&](FileObjectRef file, ErrorRef error) { calls.add({file, error}); });
        EXPECT_TRUE(calls.waitFor(1));
        std::this_thread::sleep_for(ostrane_test::quietPeriod);
        EXPECT_EQ(calls.count(), 1u);
        return calls.count() ? calls.values().front() : std::pair<FileObjectRef, ErrorRef>{};
    }

    fs::path temp;
    fs::path root;
    std::shared_ptr<CloudFileProvider> provider;
};

} // namespace cloudtest
