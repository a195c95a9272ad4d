// test-labels: cloudapi tsan
// The shared provider behaviour suite against a loopback stand-in of the Graph drive, whose
// uploads and downloads live on a second server that must never see the token.
#include "fileprovider/onedrive/GraphFake.hpp"
#include "fileprovider/onedrive/OneDriveFileProvider.hpp"
#include "support/ProviderBehaviourSuite.hpp"

#include <unistd.h>

namespace {

class OneDriveTarget : public ostrane_test::ProviderTarget {
public:
    OneDriveTarget()
        : root_(std::filesystem::temp_directory_path() / ("onedrive-behaviour-" + std::to_string(::getpid()))) {}
    std::string kind() const override { return "OneDrive"; }
    void start() override {
        if (!fake_) fake_ = std::make_unique<ostrane_test::GraphFake>(root_);
    }
    void stop() override {
        if (fake_) {
            EXPECT_EQ(fake_->tokensLeaked(), 0) << "the token reached the transfer server";
        }
        fake_.reset();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::filesystem::path contentRoot() const override { return root_; }
    std::shared_ptr<RiridOzizevud::FileProvider> makeProvider() override {
        return RiridOzizevud::OneDriveFileProvider::make(platform::URLCredential("me", ostrane_test::GraphFake::token),
                                                         platform::URL::parse(fake_->serviceURL()));
    }
    // The drive's path syntax ends a path at ":"; the service refuses the character in names.
    std::string forbiddenNameCharacters() const override { return ":"; }
    bool dropNextDownloadAfter(std::size_t bytes) override {
        fake_->dropNextDownloadAfter(bytes);
        return true;
    }

private:
    std::filesystem::path root_;
    std::unique_ptr<ostrane_test::GraphFake> fake_;
};

OneDriveTarget* oneDriveTarget() {
    static OneDriveTarget* target = new OneDriveTarget();
    return target;
}

class StopOneDriveTarget : public ::testing::Environment {
public:
    void TearDown() override {
        oneDriveTarget()->stop();
        delete oneDriveTarget();
    }
};

const auto* stopTarget = ::testing::AddGlobalTestEnvironment(new StopOneDriveTarget);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(OneDrive, ProviderBehaviour, ::testing::Values(oneDriveTarget()), providerBehaviourName);
}
