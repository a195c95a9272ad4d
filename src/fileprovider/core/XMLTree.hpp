// A small XML document model: elements with children, text and attributes, parsed from bytes
// (expat underneath; no external entity is ever loaded) and written back as indented text.
#pragma once

#include "platform/base/Error.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace RiridOzizevud {

/// Failures of the tree. `Code` is what placeholder elements carry in `XMLElement::error`; a failed
/// parse without a parser error of its own throws `XMLTreeError(parsingFailed)`.
class XMLTreeError : public platform::Error {
public:
    enum class Code { elementNotFound, rootElementMissing, parsingFailed };
    using enum Code;

    static constexpr const char* domainName = "RiridOzizevud.XMLTreeError";

    explicit XMLTreeError(Code code);
    static std::shared_ptr<const XMLTreeError> make(Code code);
    Code errorCode() const { return static_cast<Code>(code()); }

protected:
    std::string defaultDescription() const override;
};

/// Domain of the errors the event parser reports for malformed input; the code is expat's error
/// number and the description names line and column.
inline constexpr const char* NSXMLParserErrorDomain = "NSXMLParserErrorDomain";

struct XMLOptions {
    struct DocumentHeader {
        double version = 1.0;
        std::string encoding = "utf-8";
        std::string standalone = "no";
        /// <?xml version="1.0" encoding="utf-8" standalone="no"?>
        std::string xmlString() const;
    };
    struct ParserSettings {
        bool shouldProcessNamespaces = false;
        bool shouldReportNamespacePrefixes = false;
        /// Kept for the record only: external entities are never loaded, whatever this says.
        bool shouldResolveExternalEntities = false;
    };
    DocumentHeader documentHeader;
    ParserSettings parserSettings;
};

class XMLElement : public std::enable_shared_from_this<XMLElement> {
public:
    using Attributes = std::map<std::string, std::string>;

    static std::shared_ptr<XMLElement> make(std::string name, std::optional<std::string> value = std::nullopt,
                                            Attributes attributes = {});
    virtual ~XMLElement();
    XMLElement(const XMLElement&) = delete;
    XMLElement& operator=(const XMLElement&) = delete;

    std::weak_ptr<XMLElement> parent;
    std::vector<std::shared_ptr<XMLElement>> children;
    std::string name;
    /// Trimmed text content; absent when there is none.
    std::optional<std::string> value;
    Attributes attributes;
    /// Set only on the detached placeholders that lookups return when nothing was found.
    std::optional<XMLTreeError::Code> error;

    /// First child whose name equals `name` exactly; otherwise a detached placeholder of that name
    /// carrying `elementNotFound`.
    std::shared_ptr<XMLElement> firstChild(std::string_view name) const;
    /// Appends a new child and returns it.
    std::shared_ptr<XMLElement> addChild(std::string name, std::optional<std::string> value = std::nullopt,
                                         Attributes attributes = {});
    /// The element and its subtree as text, indented by one tab per level below the document's
    /// children.
    virtual std::string xml() const;

protected:
    struct Token {};

public:
    // Only reachable through make(), which hands out the shared_ptr that children's parent links need.
    XMLElement(Token, std::string name, std::optional<std::string> value, Attributes attributes);

private:
    void writeXML(std::string& out) const;
};

class XMLDocument : public XMLElement {
public:
    static std::shared_ptr<XMLDocument> make(std::shared_ptr<XMLElement> rootElement = nullptr,
                                             XMLOptions options = {});

    const XMLOptions options;

    /// Replaces the children by the parse of `data`. Throws platform::Exception carrying the
    /// parser's error (domain NSXMLParserErrorDomain), or XMLTreeError(parsingFailed); elements
    /// built before the error stay under the document.
    void load(std::span<const uint8_t> data);
    void load(std::string_view text);

    /// The first child; otherwise a detached element "Error" carrying `rootElementMissing`.
    std::shared_ptr<XMLElement> rootElement() const;

    /// The header line, a line break, then each child's xml (no final line break).
    std::string xml() const override;

    XMLDocument(Token, XMLOptions options);
};

/// Builds the tree under a document from the parser's events. Made by XMLDocument::load.
class XMLTreeParser {
public:
    /// Deeper documents are refused with XMLTreeError(parsingFailed), as the platform's parser
    /// refuses them, so neither parsing nor writing a hostile tree can exhaust the stack.
    static constexpr std::size_t maximumDepth = 256;

    XMLTreeParser() = delete;
    XMLTreeParser(std::shared_ptr<XMLDocument> document, std::span<const uint8_t> data);

    /// Throws as XMLDocument::load describes.
    void parse();

    const std::shared_ptr<XMLDocument> document;
    const std::span<const uint8_t> data;

private:
    struct Callbacks;
    void flushValue();

    std::shared_ptr<XMLElement> currentParent;
    std::shared_ptr<XMLElement> currentElement;
    std::string currentValue;
    platform::ErrorRef parseError;
    std::size_t depth_ = 0;
    bool inCDATA_ = false;
};

/// The text with & < > ' " replaced by their entities ("&" first, so nothing is escaped twice).
std::string xmlEscaped(std::string_view text);

} // namespace RiridOzizevud
