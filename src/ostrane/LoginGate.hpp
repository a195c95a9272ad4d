#pragma once
// One login at a time per client. A caller that arrives while a login runs does not start another:
// its completion joins the running one and gets the same result.
//
//   void MyClient::login(LoginCompletion finish) {
//       gate_.login(std::move(finish), [weak = weak_from_this()](LoginGate::Finish done) {
//           ... connect, then done(nullptr) or done(OstraneError::make("..."));
//       });
//   }
//
// `start` runs on the caller's thread, outside the gate's lock; it must call `done` exactly once
// (later calls are ignored). The joined completions run on the thread that calls `done`, in arrival
// order, outside the gate's lock. The gate may be destroyed while a login runs.
#include "ostrane/OstraneClient.hpp"

#include <functional>
#include <memory>

namespace Ostrane {

class LoginGate {
public:
    using Finish = OstraneClient::LoginCompletion;

    LoginGate();
    LoginGate(const LoginGate&) = delete;
    LoginGate& operator=(const LoginGate&) = delete;

    void login(Finish finish, const std::function<void(Finish done)>& start);
    bool isRunning() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace Ostrane
