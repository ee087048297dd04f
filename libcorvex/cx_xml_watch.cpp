// The watch for start tags with too many attributes. It follows just
// enough of the markup to know where a start tag is: comments, CDATA
// sections, processing instructions and declarations (with the subset of a
// document type and the declarations in it) are passed over, quoted values
// and literals skipped whole. Text outside markup never holds "<", so the
// watch cannot lose its place in a document the library accepts.

#include <cstring>

#include "cx_xml_watch.h"

namespace cx_detail
{

bool attribute_watch::scan(const char *bytes, size_t n)
{
    const char *p = bytes, *end = bytes + n;
    while (!refused_ && p < end) {
        if (!step(p, end))
            refused_ = true;
    }
    return !refused_;
}

// Markup has ended: back to the text, or to the subset it lay in.
void attribute_watch::end_markup()
{
    state_ = at::text;
    quote_ = 0;
    matched_ = 0;
}

// One step from p: it moves p on by at least one byte (or to end).
bool attribute_watch::step(const char *&p, const char *end)
{
    const char c = *p;
    if (quote_) {
        const void *close = memchr(p, quote_, static_cast<size_t>(end - p));
        if (!close) {
            p = end;
            return true;
        }
        p = static_cast<const char *>(close) + 1;
        quote_ = 0;
        return true;
    }
    switch (state_) {
    case at::text:
        if (in_subset_) {
            // Between the declarations of a document type's subset, up to
            // its "]" (the document type's ">" follows).
            if (c == ']') {
                in_subset_ = false;
                state_ = at::declaration;
            } else if (c == '<') {
                state_ = at::open;
            }
            break;
        }
        if (const void *lt = memchr(p, '<', static_cast<size_t>(end - p))) {
            p = static_cast<const char *>(lt) + 1;
            state_ = at::open;
        } else {
            p = end;
        }
        return true;
    case at::open:
        attributes_ = 0;
        matched_ = 0;
        if (c == '!') {
            state_ = at::bang;
        } else if (c == '?') {
            state_ = at::pi;
        } else if (c == '/') {
            state_ = at::end_tag;
        } else {
            state_ = at::start_tag;
            return true; // the name's first byte is the tag's
        }
        break;
    case at::bang:
        state_ = c == '-' ? at::bang_dash : c == '[' ? at::cdata_open : at::declaration;
        if (state_ == at::declaration)
            return true;
        break;
    case at::bang_dash:
        state_ = c == '-' ? at::comment : at::declaration;
        if (state_ == at::declaration)
            return true;
        break;
    case at::cdata_open:
        if (c != "CDATA["[matched_]) {
            state_ = at::declaration;
            return true;
        }
        if (++matched_ == 6) {
            state_ = at::cdata;
            matched_ = 0;
        }
        break;
    case at::comment:
    case at::cdata: {
        // "-->" and "]]>": two of the marker, then ">".
        const char marker = state_ == at::comment ? '-' : ']';
        if (c == '>' && matched_ >= 2)
            end_markup();
        else
            matched_ = c == marker ? matched_ + 1 : 0;
        break;
    }
    case at::pi:
        if (c == '>' && matched_ == 1)
            end_markup();
        else
            matched_ = c == '?' ? 1 : 0;
        break;
    case at::declaration:
        if (c == '"' || c == '\'')
            quote_ = c;
        else if (c == '[' && !in_subset_) {
            in_subset_ = true;
            state_ = at::text;
        } else if (c == '>')
            end_markup();
        break;
    case at::start_tag:
        // The common case, taken a run at a time: up to a quote, "=" or ">".
        for (; p < end; p++) {
            const char b = *p;
            if (b == '"' || b == '\'') {
                quote_ = b;
                break;
            }
            if (b == '=' && ++attributes_ > max_attributes)
                return false;
            if (b == '>') {
                end_markup();
                break;
            }
        }
        if (p == end)
            return true;
        break;
    case at::end_tag:
        if (const void *gt = memchr(p, '>', static_cast<size_t>(end - p))) {
            p = static_cast<const char *>(gt);
            end_markup();
            break;
        }
        p = end;
        return true;
    }
    p++;
    return true;
}

} // namespace cx_detail
