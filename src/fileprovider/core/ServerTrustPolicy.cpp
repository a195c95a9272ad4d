#include "fileprovider/core/ServerTrustPolicy.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

namespace RiridOzizevud {

bool ServerTrustPolicy::evaluate(SSL* trust, std::string_view forHost) const {
    if (case_ == Case::disableEvaluation) return true;
    if (!trust) return false;
    SSL_set_verify(trust, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* param = SSL_get0_param(trust);
    // "*.example.com" may match one label only, never part of one.
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (validateHost_) {
        const std::string host(forHost);
        // An empty name would switch the check off; a name with a NUL byte could only be a trick.
        if (host.empty() || host.find('\0') != std::string::npos)
            SSL_set1_host(trust, "invalid.invalid");
        else
            SSL_set1_host(trust, host.c_str());
    } else {
        SSL_set1_host(trust, nullptr);
    }
    return false;
}

void ServerTrustPolicy::apply(SSL* connection, std::string_view host) const {
    if (!connection) return;
    if (case_ == Case::disableEvaluation) {
        SSL_set_verify(connection, SSL_VERIFY_NONE, nullptr);
        return;
    }
    evaluate(connection, host);
}

} // namespace RiridOzizevud
