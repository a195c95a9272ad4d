#pragma once
// The network server layer's only error: one English message. Framework errors are flattened to
// their localized description where they are met.
#include "platform/base/Error.hpp"

#include <memory>
#include <string>

namespace Ostrane {

class OstraneError : public platform::Error {
public:
    static constexpr const char* domainName = "Ostrane.OstraneError";

    explicit OstraneError(std::string description);
    static std::shared_ptr<const OstraneError> make(std::string description) {
        return std::make_shared<const OstraneError>(std::move(description));
    }

    const std::string& description() const { return description_; }
    std::string localizedDescription() const override { return description_; }

private:
    std::string description_;
};

/// An optional error as the completions pass it (null: no error).
using OstraneErrorRef = std::shared_ptr<const OstraneError>;

}  // namespace Ostrane
