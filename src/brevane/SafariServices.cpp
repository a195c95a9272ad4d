#include "brevane/SafariServices.hpp"

namespace Brevane {

std::string SFSafariPageProperties::description() const {
    std::string text = url_ ? "Optional(" + *url_ + ")" : "nil";
    text += ", ";
    text += title_ ? "Optional(\"" + *title_ + "\")" : "nil";
    return text;
}

}  // namespace Brevane
