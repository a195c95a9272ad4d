#include "ostrane/OstraneError.hpp"

namespace Ostrane {

OstraneError::OstraneError(std::string description)
    : platform::Error(domainName, 0, {{platform::NSLocalizedDescriptionKey, platform::Value(description)}}),
      description_(std::move(description)) {}

}  // namespace Ostrane
