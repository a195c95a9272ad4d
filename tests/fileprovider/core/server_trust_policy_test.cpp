// test-labels: unit
#include "fileprovider/core/ServerTrustPolicy.hpp"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <memory>

using namespace RiridOzizevud;

namespace {

struct Connection {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx{SSL_CTX_new(TLS_client_method()), SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl{SSL_new(ctx.get()), SSL_free};

    std::string host() const {
        const char* h = X509_VERIFY_PARAM_get0_host(SSL_get0_param(ssl.get()), 0);
        return h ? h : "";
    }
    int mode() const { return SSL_get_verify_mode(ssl.get()); }
};

} // namespace

TEST(ServerTrustPolicy, EvaluateInstallsTheServerPolicy) {
    {
        Connection c;
        EXPECT_FALSE(ServerTrustPolicy::performDefaultEvaluation(true).evaluate(c.ssl.get(), "files.example.com"));
        EXPECT_EQ(c.host(), "files.example.com");
        EXPECT_EQ(c.mode(), SSL_VERIFY_PEER);
    }
    {
        Connection c;
        SSL_set1_host(c.ssl.get(), "left.over");
        EXPECT_FALSE(ServerTrustPolicy::performDefaultEvaluation(false).evaluate(c.ssl.get(), "files.example.com"));
        EXPECT_EQ(c.host(), "");
        EXPECT_EQ(c.mode(), SSL_VERIFY_PEER);
    }
    {
        // An empty host name would switch the name check off; it must match nothing instead.
        Connection c;
        EXPECT_FALSE(ServerTrustPolicy::performDefaultEvaluation(true).evaluate(c.ssl.get(), ""));
        EXPECT_EQ(c.host(), "invalid.invalid");
    }
    {
        Connection c;
        SSL_set1_host(c.ssl.get(), "kept.example");
        const int before = c.mode();
        EXPECT_TRUE(ServerTrustPolicy::disableEvaluation().evaluate(c.ssl.get(), "files.example.com"));
        EXPECT_EQ(c.host(), "kept.example");
        EXPECT_EQ(c.mode(), before);
    }
    EXPECT_FALSE(ServerTrustPolicy::performDefaultEvaluation(true).evaluate(nullptr, "h"));
}

TEST(ServerTrustPolicy, ApplyAndCases) {
    Connection c;
    ServerTrustPolicy::disableEvaluation().apply(c.ssl.get(), "h");
    EXPECT_EQ(c.mode(), SSL_VERIFY_NONE);
    ServerTrustPolicy::performDefaultEvaluation(true).apply(c.ssl.get(), "h.example");
    EXPECT_EQ(c.mode(), SSL_VERIFY_PEER);
    EXPECT_EQ(c.host(), "h.example");

    EXPECT_TRUE(ServerTrustPolicy::disableEvaluation().evaluate());
    EXPECT_FALSE(ServerTrustPolicy::performDefaultEvaluation(true).evaluate());
    EXPECT_FALSE(ServerTrustPolicy::performDefaultEvaluation(false).evaluate());
    EXPECT_EQ(ServerTrustPolicy::performDefaultEvaluation(true), ServerTrustPolicy::performDefaultEvaluation(true));
    EXPECT_NE(ServerTrustPolicy::performDefaultEvaluation(true), ServerTrustPolicy::performDefaultEvaluation(false));
    EXPECT_NE(ServerTrustPolicy::performDefaultEvaluation(false), ServerTrustPolicy::disableEvaluation());
}
