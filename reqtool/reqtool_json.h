// The result as JSON, for tools such as jq. The mapping keeps everything
// the element tree holds, so the tree can be rebuilt from the JSON:
//
//   the element          {"NAME": VALUE}, the whole document
//   VALUE of an element  null: no text, no attributes, no children
//                        "text": only text (the empty text is "")
//                        an object otherwise, with
//                          "@ATTR": "value"   each attribute, in order
//                          "#text": "text"    its text, when it has some
//                          "CHILD": VALUE     a child that is the only one of its name
//                          "CHILD": [VALUE, ...]  children of one name, in order
//                          "#order": ["CHILD", ...]  the names of all children in
//                                             order, only when names alternate
//
// Every value is a JSON string; numbers and booleans stay the text they
// were. Attribute values are read as an XML reader reads the written
// result: a character reference or one of the five named entities stands
// for its character. Bytes that are not UTF-8 (which no parsed reply
// holds) become U+FFFD.
#pragma once

#include <cstddef>
#include <cstdio>

#include "corvex/cx_elem.h"

// The length of the well-formed UTF-8 sequence at text (at most length
// bytes), or 0 when it is not one: a stray continuation byte, an overlong
// form, a surrogate, a code point past U+10FFFF, or a cut sequence.
size_t reqtool_utf8_sequence(const char *text, size_t length);

// One character of a stored attribute value at text (not at its end):
// writes its UTF-8 bytes to out (at most 4, *length of them) and returns
// where the next one starts. A reference ("&lt;", "&#38;", "&#x20AC;", ...)
// is one character; an "&" that starts none stands for itself.
const char *reqtool_attr_char(const char *text, char out[4], size_t *length);

// Whether the stored attribute value, read as above, starts with prefix.
bool reqtool_attr_starts_with(const char *value, const char *prefix);

// Write elem as JSON to out, indented by two spaces a level, ending in a
// line break. Returns 0, or -1 when out refuses a write (errno tells why).
int reqtool_json_write(FILE *out, const cx_elem_t *elem);
