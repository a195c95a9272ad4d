// How a TLS server's certificate chain is judged, applied to an OpenSSL connection before its
// handshake: verify the chain against the trusted roots (and the host name), or accept any chain.
#pragma once

#include <string_view>

// OpenSSL's own declaration, so users of this header need no OpenSSL headers.
typedef struct ssl_st SSL;

namespace RiridOzizevud {

class ServerTrustPolicy {
public:
    enum class Case { performDefaultEvaluation, disableEvaluation };

    /// Judge the chain by the standard server policy, checking the host name when `validateHost`.
    static ServerTrustPolicy performDefaultEvaluation(bool validateHost) { return {Case::performDefaultEvaluation, validateHost}; }
    /// Accept any chain.
    static ServerTrustPolicy disableEvaluation() { return {Case::disableEvaluation, false}; }

    Case kind() const { return case_; }
    /// The payload of performDefaultEvaluation; false for disableEvaluation.
    bool validateHost() const { return validateHost_; }

    /// True only for disableEvaluation.
    bool evaluate() const { return case_ == Case::disableEvaluation; }

    /// disableEvaluation: true, and the connection is left as it is. performDefaultEvaluation:
    /// installs the server policy on the connection (peer verification on; the expected host name
    /// when validateHost, none otherwise) and returns false: the handshake, and reading its
    /// verification result, are the caller's business.
    bool evaluate(SSL* trust, std::string_view forHost) const;

    /// The settings a connection needs before its handshake: those of evaluate(_:forHost:) for
    /// performDefaultEvaluation; for disableEvaluation, peer verification off so any chain passes.
    void apply(SSL* connection, std::string_view host) const;

    bool operator==(const ServerTrustPolicy&) const = default;

private:
    ServerTrustPolicy(Case c, bool validateHost) : case_(c), validateHost_(validateHost) {}
    Case case_;
    bool validateHost_;
};

} // namespace RiridOzizevud
