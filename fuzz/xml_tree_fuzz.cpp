// fuzz-sources: src/fileprovider/core/XMLTree.cpp src/platform/base/Error.cpp src/platform/data/Value.cpp src/platform/net/URL.cpp src/platform/text/CharacterSet.cpp src/platform/data/Date.cpp src/platform/data/JSON.cpp src/platform/data/Base64.cpp
// Any bytes as an XML reply: the parse either throws a platform error or builds a tree whose
// parent links agree with its children; writing the tree never fails.
#include "fileprovider/core/XMLTree.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using namespace RiridOzizevud;

namespace {

void check(const std::shared_ptr<XMLElement>& root) {
    std::vector<std::shared_ptr<XMLElement>> pending{root};
    while (!pending.empty()) {
        auto e = pending.back();
        pending.pop_back();
        for (const auto& c : e->children) {
            if (c->parent.lock() != e) __builtin_trap();
            if (c->value && c->value->empty()) __builtin_trap();
            pending.push_back(c);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (bool namespaces : {false, true}) {
        XMLOptions options;
        options.parserSettings.shouldProcessNamespaces = namespaces;
        auto doc = XMLDocument::make(nullptr, options);
        try {
            doc->load(std::span<const uint8_t>(data, size));
            if (doc->rootElement()->error) __builtin_trap();
        } catch (const platform::Exception& e) {
            if (!e.error()) __builtin_trap();
        }
        check(doc);
        (void)doc->xml();
        (void)doc->rootElement()->firstChild("D:response")->firstChild("D:href");
    }
    return 0;
}
