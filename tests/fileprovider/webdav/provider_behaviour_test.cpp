// test-labels: webdav
// The shared provider behaviour suite against Apache mod_dav with Digest authentication.
#include "fileprovider/webdav/ApacheDAV.hpp"
#include "fileprovider/webdav/WebDAVFileProvider.hpp"
#include "support/ProviderBehaviourSuite.hpp"

namespace {

using ostrane_test::ApacheDAV;

class WebDAVTarget : public ostrane_test::ProviderTarget {
public:
    std::string kind() const override { return "WebDAV"; }
    void start() override { apache_.start(); }
    void stop() override { apache_.stop(); }
    std::filesystem::path contentRoot() const override { return apache_.root(); }
    void handOver() override { apache_.handOver(); }
    std::shared_ptr<RiridOzizevud::FileProvider> makeProvider() override {
        return RiridOzizevud::WebDAVFileProvider::make(*platform::URL::parse(apache_.url("/dav/")),
                                                       platform::URLCredential(ApacheDAV::user, ApacheDAV::password));
    }

private:
    ApacheDAV apache_;
};

WebDAVTarget* webdavTarget() {
    static WebDAVTarget* target = new WebDAVTarget();
    return target;
}

class StopWebDAVTarget : public ::testing::Environment {
public:
    void TearDown() override {
        webdavTarget()->stop();
        delete webdavTarget();
    }
};

const auto* stopTarget = ::testing::AddGlobalTestEnvironment(new StopWebDAVTarget);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(WebDAV, ProviderBehaviour, ::testing::Values(webdavTarget()), providerBehaviourName);
}
