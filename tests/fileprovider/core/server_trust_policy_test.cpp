// test-labels: unit
#include "fileprovider/core/ServerTrustPolicy.hpp"

#include "support/Wait.hpp"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <thread>

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

// Real handshakes over a socket pair against a certificate for "files.test" issued by a test CA.
namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

PKey newKey() { return PKey(EVP_EC_gen("P-256"), EVP_PKEY_free); }

Cert newCert(EVP_PKEY* key, const char* cn, EVP_PKEY* issuerKey, X509* issuer, const char* san) {
    Cert cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), san ? 2 : 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    auto add = [&](int nid, const char* value) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    };
    if (san) {
        add(NID_subject_alt_name, san);
        add(NID_basic_constraints, "critical,CA:FALSE");
    } else {
        add(NID_basic_constraints, "critical,CA:TRUE");
        add(NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    X509_sign(cert.get(), issuerKey, EVP_sha256());
    return cert;
}

struct PKI {
    PKey caKey = newKey();
    Cert ca = newCert(caKey.get(), "Ostrane Test CA", caKey.get(), nullptr, nullptr);
    PKey serverKey = newKey();
    Cert server = newCert(serverKey.get(), "files.test", caKey.get(), ca.get(), "DNS:files.test");
};

// Runs one handshake; true when the client completed it with a verified chain or with
// verification off.
bool handshake(const PKI& pki, const ServerTrustPolicy& policy, const char* host, bool trustCA) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
    const timeval tv{static_cast<time_t>(ostrane_test::hangLimit.count()), 0};
    for (int fd : fds) {
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    std::thread serverThread([&] {
        SSL_CTX* sctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(sctx, pki.server.get());
        SSL_CTX_use_PrivateKey(sctx, pki.serverKey.get());
        SSL* s = SSL_new(sctx);
        SSL_set_fd(s, fds[1]);
        if (SSL_accept(s) == 1) SSL_shutdown(s);
        SSL_free(s);
        SSL_CTX_free(sctx);
        close(fds[1]);
    });
    SSL_CTX* cctx = SSL_CTX_new(TLS_client_method());
    if (trustCA) X509_STORE_add_cert(SSL_CTX_get_cert_store(cctx), pki.ca.get());
    SSL* c = SSL_new(cctx);
    SSL_set_fd(c, fds[0]);
    SSL_set_tlsext_host_name(c, host);
    policy.apply(c, host);
    const bool ok = SSL_connect(c) == 1 &&
                    (SSL_get_verify_mode(c) == SSL_VERIFY_NONE || SSL_get_verify_result(c) == X509_V_OK);
    SSL_free(c);
    SSL_CTX_free(cctx);
    close(fds[0]);
    serverThread.join();
    return ok;
}

} // namespace

TEST(ServerTrustPolicy, HandshakesFollowThePolicy) {
    // A side that finishes first may close while the other still writes: no SIGPIPE for that.
    std::signal(SIGPIPE, SIG_IGN);
    const PKI pki;
    const auto strict = ServerTrustPolicy::performDefaultEvaluation(true);
    const auto anyName = ServerTrustPolicy::performDefaultEvaluation(false);
    const auto none = ServerTrustPolicy::disableEvaluation();
    struct Row {
        ServerTrustPolicy policy;
        const char* host;
        bool trustCA;
        bool passes;
    };
    const Row rows[] = {
        {strict, "files.test", true, true},
        {strict, "FILES.test", true, true},
        {strict, "other.test", true, false},
        {strict, "evil-files.test", true, false},
        {strict, "", true, false},
        {strict, "files.test", false, false},
        {anyName, "other.test", true, true},
        {anyName, "files.test", false, false},
        {none, "other.test", false, true},
    };
    for (const auto& r : rows)
        EXPECT_EQ(handshake(pki, r.policy, r.host, r.trustCA), r.passes)
            << "host " << r.host << " trustCA " << r.trustCA << " kind " << static_cast<int>(r.policy.kind())
            << " validateHost " << r.policy.validateHost();
}
