// The pieces of XML text that the output box colours: tag brackets and
// names, attribute names and values, entities, comments and declarations.
// Plain scanning of one line at a time, carrying where a line ends (inside
// a tag, a value or a comment) into the next.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

enum class XmlKind {
    Bracket,
    TagName,
    AttributeName,
    AttributeValue,
    Entity,
    Comment,
    Declaration
};

struct XmlSpan {
    size_t start;
    size_t length;
    XmlKind kind;
    bool operator==(const XmlSpan &) const = default;
};

// Where a line starts or ends.
enum XmlState { kXmlText = 0, kXmlInTag, kXmlInDoubleValue, kXmlInSingleValue, kXmlInComment };

// Append the spans of line to spans, for a line that starts in state;
// returns the state at its end. Text outside markup gets no span.
int XmlLineSpans(std::u16string_view line, int state, std::vector<XmlSpan> &spans);
