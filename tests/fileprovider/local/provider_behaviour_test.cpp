// test-labels: unit local
// The shared provider behaviour suite over a local folder.
#include "fileprovider/local/LocalFileProvider.hpp"
#include "support/ProviderBehaviourSuite.hpp"

#include <cstdlib>

namespace {

class LocalTarget : public ostrane_test::ProviderTarget {
public:
    LocalTarget() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrane behaviour XXXXXX").string();
        if (::mkdtemp(pattern.data())) root_ = pattern;
    }
    ~LocalTarget() override {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::string kind() const override { return "Local"; }
    void start() override {}
    void stop() override {}
    std::filesystem::path contentRoot() const override { return root_; }
    std::shared_ptr<RiridOzizevud::FileProvider> makeProvider() override {
        return RiridOzizevud::LocalFileProvider::make(platform::URL::fileURLWithPath(root_.string(), true));
    }

private:
    std::filesystem::path root_;
};

LocalTarget* localTarget() {
    static LocalTarget* target = new LocalTarget();
    return target;
}

class RemoveLocalTarget : public ::testing::Environment {
public:
    void TearDown() override { delete localTarget(); }
};

const auto* removeTarget = ::testing::AddGlobalTestEnvironment(new RemoveLocalTarget);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(Local, ProviderBehaviour, ::testing::Values(localTarget()), providerBehaviourName);
}
