// The text of an HTML error page, as a browser would show it: libxml2's HTML parser, blocks on
// lines of their own, runs of white space as one space.
#include "ostrane/fileprovider/FileProviderClient.hpp"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <cctype>
#include <iostream>

namespace Ostrane {

namespace {

void appendText(xmlNode* node, std::string& out) {
    for (; node; node = node->next) {
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            if (node->content) {
                // Runs of white space read as one space, as a browser shows them.
                for (const char* c = reinterpret_cast<const char*>(node->content); *c; ++c) {
                    if (std::isspace(static_cast<unsigned char>(*c))) {
                        if (!out.empty() && out.back() != ' ' && out.back() != '\n')
                            out += ' ';
                    } else {
                        out += *c;
                    }
                }
            }
            continue;
        }
        if (node->type != XML_ELEMENT_NODE)
            continue;
        const std::string name = node->name ? reinterpret_cast<const char*>(node->name) : "";
        if (name == "script" || name == "style" || name == "head")
            continue;
        static const char* const blocks[] = {"p", "div", "br", "h1", "h2", "h3", "h4", "h5", "h6", "li", "tr",
                                             "address", "hr", "pre", "title", "ul", "ol", "table", "body"};
        bool block = false;
        for (const char* b : blocks)
            block = block || name == b;
        auto newline = [&out] {
            while (!out.empty() && out.back() == ' ')
                out.pop_back();
            if (!out.empty() && out.back() != '\n')
                out += '\n';
        };
        if (block)
            newline();
        appendText(node->children, out);
        if (block)
            newline();
    }
}

}  // namespace

std::optional<std::string> FileProviderClient::plainText(const std::string& fromHTML) {
    htmlDocPtr document = htmlReadMemory(fromHTML.data(), static_cast<int>(fromHTML.size()), nullptr, "UTF-8",
                                         HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                             HTML_PARSE_NONET);
    if (!document) {
        std::cout << "error: the page could not be read as HTML" << std::endl;
        return std::nullopt;
    }
    std::string text;
    appendText(xmlDocGetRootElement(document), text);
    xmlFreeDoc(document);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first])))
        ++first;
    return text.substr(first);
}

}  // namespace Ostrane
