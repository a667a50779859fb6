// A small XML reader for the reports: enough of XML 1.0 to tell whether a
// document of elements, attributes and character data is well-formed, and to
// hand back its elements. No declarations, comments, CDATA or entities other
// than the five predefined ones (the reports use none).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace dideverazez::reliability {

struct XmlElement {
    std::string name;
    std::map<std::string, std::string> attributes;
    int parent = -1; // index in the element list, -1 for the root
};

struct XmlDocument {
    std::vector<XmlElement> elements; // in document order
    std::string error;                // empty when well-formed

    // The elements named `name` whose parent is named `parentName`.
    std::vector<const XmlElement*> Find(const std::string& name,
                                        const std::string& parentName) const {
        std::vector<const XmlElement*> found;
        for (const XmlElement& element : elements) {
            if (element.name == name &&
                (element.parent < 0 ? parentName.empty()
                                    : elements[element.parent].name == parentName)) {
                found.push_back(&element);
            }
        }
        return found;
    }
};

namespace xml_detail {

inline bool NameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
}
inline bool NameChar(char c) {
    return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}
inline bool Space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace xml_detail

// Parses `text`; the document's error names the first fault and its offset.
inline XmlDocument ParseXml(const std::string& text) {
    using namespace xml_detail;
    XmlDocument document;
    std::vector<int> open;
    std::size_t at = 0;
    bool rootSeen = false;
    auto fail = [&](const std::string& what) {
        document.error = what + " at offset " + std::to_string(at);
        return document;
    };
    auto name = [&]() {
        std::string result;
        if (at < text.size() && NameStart(text[at])) {
            while (at < text.size() && NameChar(text[at])) {
                result += text[at++];
            }
        }
        return result;
    };
    auto skipSpace = [&]() {
        while (at < text.size() && Space(text[at])) {
            ++at;
        }
    };
    auto characterData = [&](char end) -> bool {
        // Text or an attribute value: no '<'; '&' only as a predefined entity.
        while (at < text.size() && text[at] != end) {
            if (text[at] == '<') {
                return false;
            }
            if (text[at] == '&') {
                static const char* const kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;",
                                                        "&apos;"};
                bool known = false;
                for (const char* entity : kEntities) {
                    if (text.compare(at, std::string(entity).size(), entity) == 0) {
                        known = true;
                    }
                }
                if (!known) {
                    return false;
                }
            }
            ++at;
        }
        return true;
    };
    while (at < text.size()) {
        if (text[at] != '<') {
            const std::size_t start = at;
            if (!characterData('<')) {
                return fail("markup character in text");
            }
            if (open.empty()) {
                for (std::size_t i = start; i < at; ++i) {
                    if (!Space(text[i])) {
                        return fail("text outside the root element");
                    }
                }
            }
            continue;
        }
        ++at;
        if (at < text.size() && text[at] == '/') {
            ++at;
            const std::string closing = name();
            skipSpace();
            if (at >= text.size() || text[at] != '>') {
                return fail("malformed end tag");
            }
            ++at;
            if (open.empty() || document.elements[open.back()].name != closing) {
                return fail("end tag </" + closing + "> does not match");
            }
            open.pop_back();
            continue;
        }
        XmlElement element;
        element.name = name();
        if (element.name.empty()) {
            return fail("missing element name");
        }
        if (open.empty()) {
            if (rootSeen) {
                return fail("a second root element");
            }
            rootSeen = true;
        }
        element.parent = open.empty() ? -1 : open.back();
        bool empty = false;
        for (;;) {
            const bool spaced = at < text.size() && Space(text[at]);
            skipSpace();
            if (at >= text.size()) {
                return fail("unterminated start tag");
            }
            if (text[at] == '>') {
                ++at;
                break;
            }
            if (text.compare(at, 2, "/>") == 0) {
                at += 2;
                empty = true;
                break;
            }
            if (!spaced) {
                return fail("attributes must be separated by white space");
            }
            const std::string attribute = name();
            if (attribute.empty() || at >= text.size() || text[at] != '=') {
                return fail("malformed attribute");
            }
            ++at;
            if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) {
                return fail("unquoted attribute value");
            }
            const char quote = text[at++];
            const std::size_t start = at;
            if (!characterData(quote) || at >= text.size()) {
                return fail("bad attribute value");
            }
            if (!element.attributes.emplace(attribute, text.substr(start, at - start)).second) {
                return fail("attribute " + attribute + " given twice");
            }
            ++at;
        }
        document.elements.push_back(element);
        if (!empty) {
            open.push_back(static_cast<int>(document.elements.size()) - 1);
        }
    }
    if (!open.empty()) {
        return fail("element <" + document.elements[open.back()].name + "> not closed");
    }
    if (!rootSeen) {
        return fail("no root element");
    }
    return document;
}

} // namespace dideverazez::reliability
