// test-labels: cloudapi tsan
// The shared provider behaviour suite against the loopback stand-in of the Dropbox API.
#include "fileprovider/dropbox/DropboxFake.hpp"
#include "fileprovider/dropbox/DropboxFileProvider.hpp"
#include "support/ProviderBehaviourSuite.hpp"

namespace {

class DropboxTarget : public ostrane_test::ProviderTarget {
public:
    std::string kind() const override { return "Dropbox"; }
    void start() override {}
    void stop() override {}
    std::filesystem::path contentRoot() const override { return fake_.root(); }
    // The test server's HTTP library percent-decodes header values, so "%41" in "Dropbox-API-Arg"
    // reaches it as "A"; names with "%" travel in JSON bodies in the other tests.
    std::string forbiddenNameCharacters() const override { return "%"; }
    // Dropbox copies and moves never replace an existing item.
    bool replacesOnCopyAndMove() const override { return false; }
    bool dropNextDownloadAfter(std::size_t bytes) override {
        fake_.dropNextDownloadAfter(bytes);
        return true;
    }
    std::shared_ptr<RiridOzizevud::FileProvider> makeProvider() override {
        return RiridOzizevud::DropboxFileProvider::make(platform::URLCredential("", ostrane_test::DropboxFake::token),
                                                        nullptr, *platform::URL::parse(fake_.apiURL()),
                                                        *platform::URL::parse(fake_.contentURL()));
    }

private:
    ostrane_test::DropboxFake fake_;
};

DropboxTarget* dropboxTarget() {
    static DropboxTarget* target = new DropboxTarget();
    return target;
}

class StopDropboxTarget : public ::testing::Environment {
public:
    void TearDown() override { delete dropboxTarget(); }
};

const auto* stopTarget = ::testing::AddGlobalTestEnvironment(new StopDropboxTarget);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(Dropbox, ProviderBehaviour, ::testing::Values(dropboxTarget()), providerBehaviourName);
}
