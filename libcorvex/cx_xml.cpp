// XML reader: the push parser of libxml2 with SAX1 callbacks that build an
// element tree directly, on a stack of at most 20 open elements.

#include "corvex/cx_xml.h"
#include "cx_elem_detail.h"
#include "cx_reply_detail.h"
#include "cx_xml_watch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "vovedi/pool.h"
#include "vovedi/str.h"
#include "vovedi/testpoint.h"

namespace
{

std::atomic<int> cx_xml_debug{0};

constexpr size_t stream_chunk_size = 8192;
constexpr size_t string_chunk_size = 1024;
constexpr size_t request_chunk_size = 2048;

// The reply parser keeps every complaint, but a hostile reply could raise
// millions of them; past this length further complaints are dropped.
constexpr size_t error_text_limit = 8192;

// The reader's own failures. They are constant texts, so that recording
// one never needs memory.
constexpr char no_memory_for_elements[] = "Unable to allocate memory for elements!";
constexpr char too_deeply_nested[] = "XML is too deeply nested!";
constexpr char popping_error[] = "Error in popping elements from stack!";
constexpr char no_memory_for_characters[] = "Unable to allocate memory for characters!";
constexpr char no_memory_for_message[] = "Unable to allocate memory for parser messages!";
constexpr char cdata_not_utf8[] = "CDATA section is not proper UTF-8!";
constexpr char too_many_attributes[] = "XML element has too many attributes!";
constexpr char reply_too_large[] = "XML reply is too large!";

cx_xml_state_t *state_of(void *context)
{
    return static_cast<cx_xml_state_t *>(context);
}

// ---------------------------------------------------------------------------
// Error text

void error_release(cx_xml_state_t *s)
{
    if (s->error_capacity > 0)
        VV_FREE(s->error);
    s->error = nullptr;
    s->error_capacity = 0;
}

// Replace the error text with one of the reader's constant messages.
void error_set_constant(cx_xml_state_t *s, const char *message)
{
    error_release(s);
    s->error = const_cast<char *>(message);
}

// Request parser: the message replaces the error text.
void error_replace(cx_xml_state_t *s, const char *format, va_list args)
{
    size_t capacity = 0;
    char *text = nullptr;
    if (!str_vappend(&text, &capacity, format, args)) {
        error_set_constant(s, no_memory_for_message);
        return;
    }
    error_release(s);
    s->error = text;
    s->error_capacity = capacity;
}

// Reply parser: the message follows the error text so far.
void error_append(cx_xml_state_t *s, const char *format, va_list args)
{
    if (s->error && s->error_capacity == 0) {
        // A constant text is copied, so that the message can follow it.
        const char *constant = s->error;
        s->error = nullptr;
        if (!str_append_printf(&s->error, &s->error_capacity, "%s", constant)) {
            error_set_constant(s, constant);
            return;
        }
    }
    if (s->error && strlen(s->error) >= error_text_limit)
        return;
    if (!str_vappend(&s->error, &s->error_capacity, format, args))
        error_set_constant(s, no_memory_for_message);
}

// Warning, error and fatal error of the parser library: each makes the
// parse a failure.
void on_message(void *context, const char *format, ...)
{
    cx_xml_state_t *s = state_of(context);
    va_list args;
    va_start(args, format);
    if (s->keeps_last)
        error_replace(s, format, args);
    else
        error_append(s, format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------
// Tree building

void trace_tag(const cx_xml_state_t *s, const char *what, const xmlChar *name)
{
    if (s->keeps_last && cx_xml_debug.load(std::memory_order_relaxed))
        printf("CX_XML_%s name=%s\n", what, reinterpret_cast<const char *>(name));
}

// Store one attribute. Without entity substitution the parser library hands
// every "&" of an attribute value over as "&#38;" (and only that way), so
// that is turned back into the character the document meant.
bool set_attribute(cx_elem_t *elem, const char *name, const char *value)
{
    if (!strstr(value, "&#38;"))
        return cx_elem_attr_set(elem, name, value);
    char *decoded = str_replace(value, "&#38;", "&");
    bool stored = decoded && cx_elem_attr_set(elem, name, decoded);
    VV_FREE(decoded);
    return stored;
}

void copy_attributes(cx_xml_state_t *s, cx_elem_t *elem, const xmlChar **attributes)
{
    for (const xmlChar **pair = attributes; pair[0] && pair[1]; pair += 2) {
        if (!set_attribute(elem, reinterpret_cast<const char *>(pair[0]),
                           reinterpret_cast<const char *>(pair[1]))) {
            error_set_constant(s, no_memory_for_elements);
            return;
        }
    }
}

// An element without attributes is held, by its name, until its end or its
// first child arrives: a leaf is then made in one allocation with its name
// and its text. Only the innermost open element can be held; its stack
// entry has no element yet.
bool hold_name(cx_xml_state_t *s, const char *name)
{
    size_t n = strlen(name) + 1;
    if (n > s->held_capacity) {
        auto *grown = static_cast<char *>(VV_REALLOC(s->held_name, n));
        if (!grown)
            return false;
        s->held_name = grown;
        s->held_capacity = n;
    }
    memcpy(s->held_name, name, n);
    return true;
}

// A new element made by the reader, in its slab of elements.
cx_elem_t *new_element(cx_xml_state_t *s, const char *name, const char *content,
                       size_t content_length)
{
    cx_detail::elem_slab cursor{s->element_slab, s->element_slab_used};
    cx_elem_t *elem = cx_detail::elem_new(name, strlen(name), content, content_length, &cursor);
    s->element_slab = cursor.slab;
    s->element_slab_used = cursor.used;
    return elem;
}

// Put a new element in the tree: as the last child of the element at the
// depth index, or as the root.
void attach(cx_xml_state_t *s, cx_elem_t *elem)
{
    if (s->depth > 0)
        cx_detail::elem_append(s->stack[s->depth - 1].element, elem);
    else
        s->stack[0].element = elem;
}

// Make the held element at the depth index, without content; false when
// memory runs out.
bool create_held(cx_xml_state_t *s)
{
    cx_elem_t *elem = new_element(s, s->held_name, nullptr, 0);
    if (!elem)
        return false;
    attach(s, elem);
    s->stack[s->depth].element = elem;
    return true;
}

// Keep the text buffer of an element made whole for the next element's text.
void keep_spare_text(cx_xml_state_t *s)
{
    if (s->text && s->text_capacity > s->spare_capacity) {
        VV_FREE(s->spare_text);
        s->spare_text = s->text;
        s->spare_capacity = s->text_capacity;
    } else {
        VV_FREE(s->text);
    }
    s->text = nullptr;
    s->text_capacity = 0;
    s->text_length = 0;
}

// The text of the enclosing element waits in the entry of an open element
// (park) and goes on where it stopped when that element ends (resume).
void park_text(cx_xml_state_t *s, cx_xml_entry_t *entry)
{
    entry->saved_text = s->text;
    entry->saved_capacity = s->text_capacity;
    entry->saved_length = s->text_length;
    s->text = nullptr;
    s->text_capacity = 0;
    s->text_length = 0;
}

void resume_text(cx_xml_state_t *s, cx_xml_entry_t *entry)
{
    s->text = entry->saved_text;
    s->text_capacity = entry->saved_capacity;
    s->text_length = entry->saved_length;
    entry->saved_text = nullptr;
    entry->saved_capacity = 0;
    entry->saved_length = 0;
}

void push_entry(cx_xml_state_t *s, cx_elem_t *elem)
{
    cx_xml_entry_t *entry = &s->stack[++s->depth];
    entry->element = elem;
    park_text(s, entry);
}

// A new element with attributes, made at once and put in the tree.
cx_elem_t *create_with_attributes(cx_xml_state_t *s, const xmlChar *name)
{
    cx_elem_t *elem = new_element(s, reinterpret_cast<const char *>(name), nullptr, 0);
    if (!elem)
        return nullptr;
    if (s->depth >= 0)
        cx_detail::elem_append(s->stack[s->depth].element, elem);
    else
        s->stack[0].element = elem;
    return elem;
}

void on_start_element(void *context, const xmlChar *name, const xmlChar **attributes)
{
    cx_xml_state_t *s = state_of(context);
    trace_tag(s, "STARTELEMENT", name);
    // An element gets no entry when it lies inside one that got none, when
    // the stack is full, or (never from a well-formed parse) when a second
    // root would displace the first. Such elements are only counted, so
    // that their end tags are matched.
    if (s->unstacked > 0) {
        s->unstacked++;
        return;
    }
    if (s->depth + 1 >= s->stack_capacity || (s->depth < 0 && s->stack[0].element)) {
        error_set_constant(s, s->depth < 0 ? popping_error : too_deeply_nested);
        s->unstacked++;
        return;
    }
    // The parent, if held, is made now that it has a child.
    bool has_attributes = attributes && attributes[0] && attributes[1];
    cx_elem_t *elem = nullptr;
    bool ok = (s->depth < 0 || s->stack[s->depth].element || create_held(s)) &&
              (has_attributes ? (elem = create_with_attributes(s, name)) != nullptr
                              : hold_name(s, reinterpret_cast<const char *>(name)));
    if (!ok) {
        error_set_constant(s, no_memory_for_elements);
        s->unstacked++;
        return;
    }
    push_entry(s, elem);
    if (elem)
        copy_attributes(s, elem, attributes);
}

// The end of the held element at the depth index: it is made with its name
// and its text in one allocation. Its text buffer is kept for the next one.
void finish_held(cx_xml_state_t *s)
{
    cx_elem_t *elem = new_element(s, s->held_name, s->text, s->text_length);
    if (elem)
        attach(s, elem);
    else
        error_set_constant(s, no_memory_for_elements);
    keep_spare_text(s);
}

void on_end_element(void *context, const xmlChar *name)
{
    cx_xml_state_t *s = state_of(context);
    trace_tag(s, "ENDELEMENT", name);
    if (s->unstacked > 0) {
        s->unstacked--;
        return;
    }
    if (s->depth < 0) {
        error_set_constant(s, popping_error);
        return;
    }
    cx_xml_entry_t *entry = &s->stack[s->depth];
    if (!entry->element) {
        finish_held(s);
    } else if (s->text) {
        // The collected text becomes the element's content as it is; an
        // element that received no character data keeps null content.
        entry->element->content = s->text;
        s->text = nullptr;
    }
    resume_text(s, entry);
    if (s->depth > 0)
        entry->element = nullptr;
    s->depth--;
}

// Character data, in pieces: all the text directly inside an element,
// before, between and after its children, is joined.
void on_characters(void *context, const xmlChar *chars, int length)
{
    cx_xml_state_t *s = state_of(context);
    if (length < 0)
        return;
    if (!s->text && s->spare_text) {
        s->text = s->spare_text;
        s->text_capacity = s->spare_capacity;
        s->text_length = 0;
        s->spare_text = nullptr;
        s->spare_capacity = 0;
    }
    auto n = static_cast<size_t>(length);
    size_t needed = s->text_length + n + 1;
    if (needed > s->text_capacity) {
        // Geometric growth keeps a long text arriving in many pieces linear.
        size_t capacity = std::max(needed, s->text_capacity * 2);
        auto *grown = static_cast<char *>(VV_REALLOC(s->text, capacity));
        if (!grown) {
            error_set_constant(s, no_memory_for_characters);
            return;
        }
        s->text = grown;
        s->text_capacity = capacity;
    }
    memcpy(s->text + s->text_length, chars, n);
    s->text_length += n;
    s->text[s->text_length] = '\0';
}

// Whether bytes are proper UTF-8: no overlong forms, no surrogates, nothing
// past U+10FFFF.
bool proper_utf8(const unsigned char *p, size_t n)
{
    const unsigned char *end = p + n;
    while (p < end) {
        unsigned c = *p++;
        if (c < 0x80)
            continue;
        int more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : -1;
        if (more < 0 || c > 0xf4 || end - p < more)
            return false;
        unsigned value = c & (0x3f >> more);
        for (int k = 0; k < more; k++) {
            if ((p[k] & 0xc0) != 0x80)
                return false;
            value = value << 6 | (p[k] & 0x3f);
        }
        p += more;
        static constexpr unsigned smallest[] = {0, 0x80, 0x800, 0x10000};
        if (value < smallest[more] || (value >= 0xd800 && value <= 0xdfff) || value > 0x10ffff)
            return false;
    }
    return true;
}

// A CDATA section, text like any other. The parser library checks the
// bytes of a CDATA section less strictly than those of other text (an
// overlong form passes): such a section makes the parse fail here, so that
// nothing gets into a tree that the writer could not write as XML.
void on_cdata(void *context, const xmlChar *chars, int length)
{
    cx_xml_state_t *s = state_of(context);
    if (length > 0 && !proper_utf8(chars, static_cast<size_t>(length))) {
        error_set_constant(s, cdata_not_utf8);
        return;
    }
    on_characters(context, chars, length);
}

// ---------------------------------------------------------------------------
// Parser library

// SAX1 handlers, and nothing else: with no entity, DTD or resolver callbacks
// the parser keeps no entity it could expand and loads nothing external.
xmlSAXHandler handlers()
{
    xmlSAXHandler sax;
    memset(&sax, 0, sizeof sax);
    // Not XML_SAX2_MAGIC: the SAX1 interface, which delivers an element's
    // name as written and its attributes as name/value pairs.
    sax.initialized = 1;
    sax.startElement = on_start_element;
    sax.endElement = on_end_element;
    sax.characters = on_characters;
    // Whitespace between tags is character data like any other.
    sax.ignorableWhitespace = on_characters;
    sax.cdataBlock = on_cdata;
    sax.warning = on_message;
    sax.error = on_message;
    sax.fatalError = on_message;
    return sax;
}

// One push parser, released at the end of the scope. Everything it is fed
// passes the attribute watch first.
class push_parser
{
  public:
    // Start parsing into state with the first chunk; check started().
    push_parser(cx_xml_state_t *state, const char *chunk, size_t size) : state_(state)
    {
        cx_xml_init();
        xmlSAXHandler sax = handlers();
        bool refused = !watch_.scan(chunk, size);
        ctxt_ = xmlCreatePushParserCtxt(&sax, state, refused ? nullptr : chunk,
                                        refused ? 0 : static_cast<int>(size), nullptr);
        // Tests make the start fail here as if the library were out of memory.
        if (ctxt_ && !testpoint_ptr(ctxt_, "xml", "parser", __FILE__, __LINE__)) {
            release();
            return;
        }
        // Also undo any process-wide defaults that substitute entities or
        // load external definitions, and forbid network access outright.
        if (ctxt_)
            xmlCtxtUseOptions(ctxt_, XML_PARSE_NONET);
        if (ctxt_ && refused)
            refuse();
    }
    ~push_parser() { release(); }
    push_parser(const push_parser &) = delete;
    push_parser &operator=(const push_parser &) = delete;

    bool started() const { return ctxt_ != nullptr; }

    void feed(const char *chunk, size_t size, bool last)
    {
        if (refused_)
            return;
        if (!watch_.scan(chunk, size)) {
            refuse();
            return;
        }
        xmlParseChunk(ctxt_, chunk, static_cast<int>(size), last ? 1 : 0);
    }

    // After a fatal error the library takes no more input: feeding it more
    // would change nothing.
    bool halted() const { return refused_ || (ctxt_->disableSAX && ctxt_->errNo != XML_ERR_OK); }

  private:
    void refuse()
    {
        refused_ = true;
        error_set_constant(state_, too_many_attributes);
        xmlStopParser(ctxt_);
    }

    void release()
    {
        if (!ctxt_)
            return;
        // Entity declarations are kept in a document of the library's own
        // even in SAX mode; it is ours to free.
        if (ctxt_->myDoc) {
            xmlFreeDoc(ctxt_->myDoc);
            ctxt_->myDoc = nullptr;
        }
        xmlFreeParserCtxt(ctxt_);
        ctxt_ = nullptr;
    }

    cx_xml_state_t *state_;
    xmlParserCtxtPtr ctxt_ = nullptr;
    cx_detail::attribute_watch watch_;
    bool refused_ = false;
};

cx_xml_state_t *state_new(int keeps_last)
{
    auto *s = static_cast<cx_xml_state_t *>(VV_CALLOC(sizeof(cx_xml_state_t)));
    if (!s) {
        errno = ENOMEM;
        return nullptr;
    }
    s->stack_capacity = CX_XML_STACK_SIZE;
    s->depth = -1;
    s->keeps_last = keeps_last;
    return s;
}

void state_free(cx_xml_state_t *s)
{
    if (!s)
        return;
    // Deeper entries only borrow their elements from the root's tree.
    for (int k = CX_XML_STACK_SIZE - 1; k >= 0; k--) {
        if (k > 0)
            s->stack[k].element = nullptr;
        VV_FREE(s->stack[k].saved_text);
    }
    cx_elem_free(s->stack[0].element);
    VV_FREE(s->text);
    VV_FREE(s->spare_text);
    VV_FREE(s->held_name);
    cx_detail::elem_slab cursor{s->element_slab, s->element_slab_used};
    cx_detail::elem_slab_done(&cursor);
    error_release(s);
    VV_FREE(s);
}

// The next chunk of a reply body, copied to standard error in debug mode.
int stream_read(cx_detail::body_reader &body, char *chunk)
{
    int n = body.next(chunk, stream_chunk_size);
    if (n > 0 && cx_xml_debug.load(std::memory_order_relaxed) > 0)
        fwrite(chunk, 1, static_cast<size_t>(n), stderr);
    return n;
}

} // namespace

cx_xml_state_t *xml_create(void)
{
    return state_new(0);
}

void xml_destroy(cx_xml_state_t *state)
{
    state_free(state);
}

cx_xml_state_t *cx_xml_request_state_new(void)
{
    return state_new(1);
}

void cx_xml_request_state_free(cx_xml_state_t *state)
{
    state_free(state);
}

void xml_parse_stream(shttpc_t *conn, cx_xml_state_t *state, long content_length)
{
    xml_parse_stream_limit(conn, state, content_length, 0);
}

void xml_parse_stream_limit(shttpc_t *conn, cx_xml_state_t *state, long content_length,
                            uint64_t limit)
{
    if (!conn || !state) {
        errno = EINVAL;
        return;
    }
    // An announced empty body is not waited for.
    if (content_length == 0)
        return;
    cx_detail::body_reader body(conn, content_length, limit);
    char chunk[stream_chunk_size];
    int n = stream_read(body, chunk);
    if (n > 0) {
        push_parser parser(state, chunk, static_cast<size_t>(n));
        if (!parser.started())
            return;
        while (!parser.halted() && (n = stream_read(body, chunk)) > 0)
            parser.feed(chunk, static_cast<size_t>(n), false);
        // A body cut at the limit is not ended: it is refused whole.
        if (!body.too_large())
            parser.feed(nullptr, 0, true);
    }
    if (body.too_large()) {
        state->too_large = 1;
        error_set_constant(state, reply_too_large);
    }
}

int xml_parse_string(const char *text, cx_xml_state_t *state)
{
    if (!text || !state) {
        errno = EINVAL;
        return 0;
    }
    size_t length = strlen(text);
    if (length == 0)
        return 1;
    size_t at = std::min(length, string_chunk_size);
    push_parser parser(state, text, at);
    if (!parser.started())
        return 0;
    while (at < length && !parser.halted()) {
        size_t n = std::min(length - at, string_chunk_size);
        parser.feed(text + at, n, false);
        at += n;
    }
    parser.feed(nullptr, 0, true);
    return 1;
}

cx_xml_source_t *cx_xml_source_new(const char *text)
{
    if (!text) {
        errno = EINVAL;
        return nullptr;
    }
    auto *source = static_cast<cx_xml_source_t *>(VV_CALLOC(sizeof(cx_xml_source_t)));
    if (!source) {
        errno = ENOMEM;
        return nullptr;
    }
    source->text = VV_STRDUP(text);
    if (!source->text) {
        VV_FREE(source);
        errno = ENOMEM;
        return nullptr;
    }
    source->remaining = strlen(source->text);
    return source;
}

size_t cx_xml_source_read(cx_xml_source_t *source, char *buffer, size_t size)
{
    if (!source || !buffer)
        return 0;
    size_t n = std::min(size, source->remaining);
    if (n == 0) {
        if (size > 0)
            buffer[0] = '\0';
        return 0;
    }
    memcpy(buffer, source->text + source->position, n);
    source->position += n;
    source->remaining -= n;
    return n;
}

void cx_xml_source_free(cx_xml_source_t *source)
{
    if (!source)
        return;
    VV_FREE(source->text);
    VV_FREE(source);
}

void cx_xml_request_parse(cx_xml_state_t *state, cx_xml_reader_fn reader, cx_xml_source_t *source)
{
    if (!state || !reader || !source) {
        errno = EINVAL;
        return;
    }
    char chunk[request_chunk_size];
    size_t n = reader(source, chunk, sizeof chunk);
    if (n == 0)
        return;
    push_parser parser(state, chunk, n);
    if (!parser.started())
        return;
    // The end of input is marked on the chunk that empties the source.
    bool ended = source->remaining == 0;
    parser.feed(nullptr, 0, ended);
    while ((n = reader(source, chunk, sizeof chunk)) > 0) {
        ended = source->remaining == 0;
        parser.feed(chunk, n, ended);
    }
    // A reader that stops before its source is empty still ends the input.
    if (!ended)
        parser.feed(nullptr, 0, true);
}

void cx_xml_init(void)
{
    xmlInitParser();
}

void cx_xml_cleanup(void)
{
    xmlCleanupParser();
}

void cx_xml_debug_set(int value)
{
    cx_xml_debug.store(value, std::memory_order_relaxed);
}

int cx_xml_debug_get(void)
{
    return cx_xml_debug.load(std::memory_order_relaxed);
}
