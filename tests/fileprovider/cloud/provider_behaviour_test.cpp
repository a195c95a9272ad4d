// test-labels: unit local
// The shared provider behaviour suite over an iCloud container folder.
#include "fileprovider/cloud/CloudFileProvider.hpp"
#include "platform/fs/UbiquityContainer.hpp"
#include "support/ProviderBehaviourSuite.hpp"

#include <cstdlib>

namespace {

class CloudTarget : public ostrane_test::ProviderTarget {
public:
    CloudTarget() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrane cloud behaviour XXXXXX").string();
        if (::mkdtemp(pattern.data())) root_ = pattern;
        std::filesystem::create_directories(root_ / "Mobile Documents");
        platform::UbiquityContainer::setRootURL(platform::URL::fileURLWithPath((root_ / "Mobile Documents").string(), true));
    }
    ~CloudTarget() override {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::string kind() const override { return "iCloud"; }
    void start() override {}
    void stop() override {}
    std::filesystem::path contentRoot() const override { return root_ / "Mobile Documents" / "iCloud~org~example~Player"; }
    std::shared_ptr<RiridOzizevud::FileProvider> makeProvider() override {
        return RiridOzizevud::CloudFileProvider::make(std::string("iCloud~org~example~Player"),
                                                      RiridOzizevud::UbiquitousScope::data);
    }

private:
    std::filesystem::path root_;
};

CloudTarget* cloudTarget() {
    static CloudTarget* target = new CloudTarget();
    return target;
}

class RemoveCloudTarget : public ::testing::Environment {
public:
    void TearDown() override { delete cloudTarget(); }
};

const auto* removeTarget = ::testing::AddGlobalTestEnvironment(new RemoveCloudTarget);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(Cloud, ProviderBehaviour, ::testing::Values(cloudTarget()), providerBehaviourName);
}
