#include "fileprovider/core/XMLTree.hpp"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>

namespace RiridOzizevud {

// ---- XMLTreeError ----------------------------------------------------------------------------

XMLTreeError::XMLTreeError(Code code) : platform::Error(domainName, static_cast<int64_t>(code)) {}

std::shared_ptr<const XMLTreeError> XMLTreeError::make(Code code) {
    return std::make_shared<const XMLTreeError>(code);
}

std::string XMLTreeError::defaultDescription() const {
    switch (errorCode()) {
    case elementNotFound: return "The XML element was not found.";
    case rootElementMissing: return "The XML document has no root element.";
    case parsingFailed: return "The XML document could not be parsed.";
    }
    return platform::Error::defaultDescription();
}

// ---- Text helpers ----------------------------------------------------------------------------

namespace {

// White space and line breaks as the platform's set has them (Zs, tab, U+000A-000D, U+0085,
// U+2028, U+2029). Returns the byte length of the scalar at `i` when it is one, else 0.
std::size_t whitespaceLength(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    if (c < 0x80) return 0;
    char32_t cp = 0;
    std::size_t len = 0;
    if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
    else return 0;  // nothing above U+FFFF is white space
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    const bool ws = cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
                    cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
    return ws ? len : 0;
}

std::string_view trimmed(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        const std::size_t n = whitespaceLength(s, begin);
        if (n == 0) break;
        begin += n;
    }
    std::size_t end = s.size();
    while (end > begin) {
        // Step back to the start of the last scalar.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && end - start < 4) --start;
        const std::size_t n = whitespaceLength(s, start);
        if (n == 0 || start + n != end) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

} // namespace

std::string xmlEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\'': out += "&apos;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string XMLOptions::DocumentHeader::xmlString() const {
    // Shortest text that reads back as the same double, with ".0" for whole numbers (1.0, not 1).
    char buf[64];
    std::string number;
    const auto r = std::to_chars(buf, buf + sizeof buf, version);
    number.assign(buf, r.ptr);
    if (number.find_first_of(".eEna") == std::string::npos) number += ".0";
    return "<?xml version=\"" + number + "\" encoding=\"" + encoding + "\" standalone=\"" + standalone + "\"?>";
}

// ---- XMLElement ------------------------------------------------------------------------------

XMLElement::XMLElement(Token, std::string name, std::optional<std::string> value, Attributes attributes)
    : name(std::move(name)), value(std::move(value)), attributes(std::move(attributes)) {}

XMLElement::~XMLElement() {
    // Tear the subtree down iteratively: a long chain of nested elements must not recurse.
    std::vector<std::shared_ptr<XMLElement>> pending = std::move(children);
    while (!pending.empty()) {
        std::shared_ptr<XMLElement> e = std::move(pending.back());
        pending.pop_back();
        if (e && e.use_count() == 1) {
            for (auto& c : e->children) pending.push_back(std::move(c));
            e->children.clear();
        }
    }
}

std::shared_ptr<XMLElement> XMLElement::make(std::string name, std::optional<std::string> value, Attributes attributes) {
    return std::make_shared<XMLElement>(Token{}, std::move(name), std::move(value), std::move(attributes));
}

std::shared_ptr<XMLElement> XMLElement::firstChild(std::string_view childName) const {
    for (const auto& c : children)
        if (c->name == childName) return c;
    auto placeholder = make(std::string(childName));
    placeholder->error = XMLTreeError::elementNotFound;
    return placeholder;
}

std::shared_ptr<XMLElement> XMLElement::addChild(std::string childName, std::optional<std::string> childValue,
                                                 Attributes childAttributes) {
    auto child = make(std::move(childName), std::move(childValue), std::move(childAttributes));
    child->parent = weak_from_this();
    children.push_back(child);
    return child;
}

void XMLElement::writeXML(std::string& out) const {
    std::size_t depth = 0;
    for (auto p = parent.lock(); p; p = p->parent.lock()) ++depth;
    const std::string indent(depth > 1 ? depth - 1 : 0, '\t');
    out += indent;
    out += '<';
    out += name;
    for (const auto& [k, v] : attributes) {
        out += ' ';
        out += k;
        out += "=\"";
        out += xmlEscaped(v);
        out += '"';
    }
    if (children.empty()) {
        if (!value) {
            out += " />";
        } else {
            out += '>';
            out += xmlEscaped(*value);
            out += "</";
            out += name;
            out += '>';
        }
        return;
    }
    out += ">\n";
    for (const auto& c : children) {
        c->writeXML(out);
        out += '\n';
    }
    out += indent;
    out += "</";
    out += name;
    out += '>';
}

std::string XMLElement::xml() const {
    std::string out;
    writeXML(out);
    return out;
}

// ---- XMLDocument -----------------------------------------------------------------------------

XMLDocument::XMLDocument(Token t, XMLOptions opts) : XMLElement(t, "XMLDocument", std::nullopt, {}), options(std::move(opts)) {}

std::shared_ptr<XMLDocument> XMLDocument::make(std::shared_ptr<XMLElement> rootElement, XMLOptions options) {
    auto doc = std::make_shared<XMLDocument>(Token{}, std::move(options));
    if (rootElement) {
        rootElement->parent = doc;
        doc->children.push_back(std::move(rootElement));
    }
    return doc;
}

void XMLDocument::load(std::span<const uint8_t> data) {
    children.clear();
    auto self = std::static_pointer_cast<XMLDocument>(shared_from_this());
    XMLTreeParser parser(self, data);
    parser.parse();
}

void XMLDocument::load(std::string_view text) {
    load(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::shared_ptr<XMLElement> XMLDocument::rootElement() const {
    if (!children.empty()) return children.front();
    auto placeholder = XMLElement::make("Error");
    placeholder->error = XMLTreeError::rootElementMissing;
    return placeholder;
}

std::string XMLDocument::xml() const {
    std::string out = options.documentHeader.xmlString();
    out += '\n';
    for (const auto& c : children) out += c->xml();
    return out;
}

// ---- XMLTreeParser ---------------------------------------------------------------------------

namespace {

constexpr XML_Char nsSeparator = '\x01';

// With namespace processing expat names are "uri SEP local [SEP prefix]"; the tree keeps the
// local name for elements and "prefix:local" for attributes, as the platform's parser reports them.
std::string localName(const XML_Char* raw) {
    std::string_view s(raw);
    const auto first = s.find(nsSeparator);
    if (first == std::string_view::npos) return std::string(s);
    s.remove_prefix(first + 1);
    const auto second = s.find(nsSeparator);
    return std::string(s.substr(0, second));
}

std::string qualifiedName(const XML_Char* raw) {
    std::string_view s(raw);
    const auto first = s.find(nsSeparator);
    if (first == std::string_view::npos) return std::string(s);
    s.remove_prefix(first + 1);
    const auto second = s.find(nsSeparator);
    if (second == std::string_view::npos) return std::string(s);
    return std::string(s.substr(second + 1)) + ":" + std::string(s.substr(0, second));
}

} // namespace

struct XMLTreeParser::Callbacks {
    struct Context {
        XMLTreeParser* tree;
        XML_Parser parser;
        bool namespaces;
    };

    static void startElement(void* user, const XML_Char* rawName, const XML_Char** atts) {
        auto* ctx = static_cast<Context*>(user);
        XMLTreeParser& t = *ctx->tree;
        if (++t.depth_ > maximumDepth) {
            XML_StopParser(ctx->parser, XML_FALSE);
            return;
        }
        t.flushValue();
        t.currentValue.clear();
        XMLElement::Attributes attributes;
        for (std::size_t i = 0; atts && atts[i] && atts[i + 1]; i += 2)
            attributes[ctx->namespaces ? qualifiedName(atts[i]) : std::string(atts[i])] = atts[i + 1];
        std::string name = ctx->namespaces ? localName(rawName) : std::string(rawName);
        if (t.currentParent)
            t.currentElement = t.currentParent->addChild(std::move(name), std::nullopt, std::move(attributes));
        else
            t.currentElement = nullptr;
        t.currentParent = t.currentElement;
    }

    static void endElement(void* user, const XML_Char*) {
        auto* ctx = static_cast<Context*>(user);
        XMLTreeParser& t = *ctx->tree;
        if (t.depth_ > 0) --t.depth_;
        t.flushValue();
        t.currentParent = t.currentParent ? t.currentParent->parent.lock() : nullptr;
        t.currentElement = nullptr;
    }

    static void characters(void* user, const XML_Char* s, int len) {
        auto* ctx = static_cast<Context*>(user);
        XMLTreeParser& t = *ctx->tree;
        // CDATA blocks are not text to this tree (the platform's parser reports them apart).
        if (t.inCDATA_ || !t.currentElement || len <= 0) return;
        t.currentValue.append(s, static_cast<std::size_t>(len));
    }

    static void startCDATA(void* user) { static_cast<Context*>(user)->tree->inCDATA_ = true; }
    static void endCDATA(void* user) { static_cast<Context*>(user)->tree->inCDATA_ = false; }

    // Declared external entities are neither fetched nor expanded: report them as unreadable.
    static int externalEntity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
        return XML_STATUS_OK;
    }
};

XMLTreeParser::XMLTreeParser(std::shared_ptr<XMLDocument> doc, std::span<const uint8_t> bytes)
    : document(std::move(doc)), data(bytes) {}

// The value is the trimmed text gathered since the element started; it is set when the element
// stops collecting (a child starts, the element ends, or the input ends), which gives the same
// result as re-trimming on every piece without the quadratic cost.
void XMLTreeParser::flushValue() {
    if (!currentElement) return;
    const std::string_view v = trimmed(currentValue);
    if (v.empty()) currentElement->value.reset();
    else currentElement->value = std::string(v);
}

void XMLTreeParser::parse() {
    currentParent = document;
    currentElement = nullptr;
    currentValue.clear();
    parseError = nullptr;
    depth_ = 0;
    inCDATA_ = false;

    const auto& settings = document->options.parserSettings;
    XML_Parser p = settings.shouldProcessNamespaces ? XML_ParserCreateNS(nullptr, nsSeparator) : XML_ParserCreate(nullptr);
    if (!p) platform::throwError(XMLTreeError::make(XMLTreeError::parsingFailed));
    struct Free {
        XML_Parser p;
        ~Free() { XML_ParserFree(p); }
    } freeParser{p};

    Callbacks::Context ctx{this, p, settings.shouldProcessNamespaces};
    if (settings.shouldProcessNamespaces) XML_SetReturnNSTriplet(p, XML_TRUE);
    XML_SetUserData(p, &ctx);
    XML_SetElementHandler(p, &Callbacks::startElement, &Callbacks::endElement);
    XML_SetCharacterDataHandler(p, &Callbacks::characters);
    XML_SetCdataSectionHandler(p, &Callbacks::startCDATA, &Callbacks::endCDATA);
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetExternalEntityRefHandler(p, &Callbacks::externalEntity);

    bool ok = true;
    std::size_t offset = 0;
    constexpr std::size_t chunk = 1 << 20;
    do {
        const std::size_t n = std::min(chunk, data.size() - offset);
        const bool last = offset + n == data.size();
        if (XML_Parse(p, reinterpret_cast<const char*>(data.data() + offset), static_cast<int>(n),
                      last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
            ok = false;
            break;
        }
        offset += n;
    } while (offset < data.size());

    flushValue();
    currentElement = nullptr;
    currentParent = nullptr;
    if (ok) return;

    if (!parseError) {
        const XML_Error code = XML_GetErrorCode(p);
        if (code != XML_ERROR_NONE && code != XML_ERROR_ABORTED) {
            parseError = platform::makeError(NSXMLParserErrorDomain, static_cast<int64_t>(code),
                {{platform::NSLocalizedDescriptionKey,
                  "XML parse error at line " + std::to_string(XML_GetCurrentLineNumber(p)) + ", column " +
                      std::to_string(XML_GetCurrentColumnNumber(p)) + ": " + XML_ErrorString(code)}});
        }
    }
    if (parseError) platform::throwError(parseError);
    platform::throwError(XMLTreeError::make(XMLTreeError::parsingFailed));
}

} // namespace RiridOzizevud
