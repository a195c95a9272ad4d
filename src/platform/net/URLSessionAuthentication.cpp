// platform::URLSession's authentication: WWW-Authenticate offers, task challenges to the delegate
// and the retry with the credential it answers.
#include "platform/net/URLSessionEngine.hpp"

namespace platform {

// The schemes of the WWW-Authenticate fields and the first realm given.
AuthOffer parseAuthenticate(const HTTPURLResponse::HeaderFields& fields) {
    AuthOffer offer;
    for (const auto& [name, value] : fields) {
        if (!equalsIgnoringCase(name, "WWW-Authenticate")) continue;
        std::string_view v = trim(value);
        // Each challenge starts with a scheme token; parameters follow as name=value pairs.
        size_t pos = 0;
        while (pos < v.size()) {
            while (pos < v.size() && (v[pos] == ' ' || v[pos] == ',')) ++pos;
            size_t end = pos;
            while (end < v.size() && v[end] != ' ' && v[end] != ',' && v[end] != '=') ++end;
            std::string_view token = v.substr(pos, end - pos);
            if (end < v.size() && v[end] == '=') {
                // A parameter: skip its (maybe quoted) value.
                size_t valStart = end + 1;
                std::string value;
                if (valStart < v.size() && v[valStart] == '"') {
                    size_t i = valStart + 1;
                    while (i < v.size() && v[i] != '"') {
                        if (v[i] == '\\' && i + 1 < v.size()) ++i;
                        value += v[i++];
                    }
                    end = i + 1;
                } else {
                    end = valStart;
                    while (end < v.size() && v[end] != ',') ++end;
                    value = std::string(trim(v.substr(valStart, end - valStart)));
                }
                if (equalsIgnoringCase(token, "realm") && !offer.realm) offer.realm = value;
            } else if (!token.empty()) {
                if (equalsIgnoringCase(token, "Basic")) offer.basic = true;
                if (equalsIgnoringCase(token, "Digest")) offer.digest = true;
            }
            pos = end;
        }
    }
    return offer;
}

void URLSessionEngine::challenge(std::shared_ptr<SessionTransfer> t, const AuthOffer& offer) {
    URLAuthenticationChallenge c;
    c.protectionSpace.host = t->url->host().value_or("");
    c.protectionSpace.protocol_ = t->url->scheme().value_or("http");
    for (char& ch : c.protectionSpace.protocol_) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    c.protectionSpace.port = t->url->port().value_or(c.protectionSpace.protocol_ == "https" ? 443 : 80);
    c.protectionSpace.realm = offer.realm;
    c.protectionSpace.authenticationMethod =
        offer.digest ? NSURLAuthenticationMethodHTTPDigest : NSURLAuthenticationMethodHTTPBasic;
    c.previousFailureCount = t->failures;
    {
        std::lock_guard lock(mutex);
        if (auto it = remembered.find(t->origin); it != remembered.end()) c.proposedCredential = it->second.credential;
    }
    if (!c.proposedCredential) c.proposedCredential = t->urlCredential;
    c.failureResponse = std::make_shared<HTTPURLResponse>(t->url, t->status, t->headers);
    const long mask = offer.digest ? static_cast<long>(CURLAUTH_DIGEST) : static_cast<long>(CURLAUTH_BASIC);
    t->waitingChallenge = true;

    // The answer comes back exactly once; a delegate that drops the completion gets default handling.
    struct Answer {
        std::shared_ptr<URLSessionEngine> engine;
        std::shared_ptr<SessionTransfer> transfer;
        long mask;
        std::atomic<bool> done{false};
        void give(URLSessionAuthChallengeDisposition d, std::optional<URLCredential> cred) {
            if (done.exchange(true)) return;
            auto e = engine;
            auto tr = transfer;
            const long m = mask;
            e->command([e, tr, d, cred = std::move(cred), m] { e->answered(tr, d, cred, m); });
        }
        ~Answer() {
            if (!done.exchange(true)) {
                auto e = engine;
                auto tr = transfer;
                const long m = mask;
                e->command([e, tr, m] {
                    e->answered(tr, URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt, m);
                });
            }
        }
    };
    auto answer = std::make_shared<Answer>();
    answer->engine = shared_from_this();
    answer->transfer = t;
    answer->mask = mask;
    auto self = shared_from_this();
    auto session = t->session;
    auto task = t->task;
    post([self, session, task, c, answer]() mutable {
        auto d = self->delegate();
        if (!d) return;  // the Answer's destructor gives default handling
        std::shared_ptr<Answer> a = std::move(answer);
        d->didReceiveChallenge(session, task, c, [a](URLSessionAuthChallengeDisposition disp, std::optional<URLCredential> cred) {
            a->give(disp, std::move(cred));
        });
    });
}

void URLSessionEngine::answered(std::shared_ptr<SessionTransfer> t, URLSessionAuthChallengeDisposition disposition,
              const std::optional<URLCredential>& credential, long mask) {
    if (t->completed) return;
    t->waitingChallenge = false;
    if (t->cancelled) {
        complete(t, t->cancelError ? t->cancelError : URLError::make(URLError::cancelled, t->url));
        return;
    }
    switch (disposition) {
    case URLSessionAuthChallengeDisposition::useCredential:
        if (credential && credential->user()) {
            t->failures += 1;
            t->credential = credential;
            t->authMask = mask;
            if (!seek(*t, 0)) {
                complete(t, URLError::make(URLError::requestBodyStreamExhausted, t->url));
                return;
            }
            attempt(t);
            return;
        }
        complete(t, nullptr);
        return;
    case URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge:
        complete(t, URLError::make(URLError::cancelled, t->url));
        return;
    case URLSessionAuthChallengeDisposition::performDefaultHandling:
    case URLSessionAuthChallengeDisposition::rejectProtectionSpace:
        // The 401 itself is the answer.
        complete(t, nullptr);
        return;
    }
}

} // namespace platform
