/*
 * XML reader: turns XML text into an element tree (cx_elem.h) while it is
 * being read, on a stack of at most 20 open elements.
 *
 * Two users with two sets of handlers over one parse state:
 * - the reply parser (xml_create, xml_parse_stream, xml_parse_string,
 *   xml_destroy) reads a server reply from a connection or from memory and
 *   keeps every complaint of the parser library in its error text;
 * - the request parser (cx_xml_request_*, cx_xml_source_*) reads request XML
 *   given by the user, keeps only the last complaint, and traces every tag
 *   on standard output while the debug flag is set.
 *
 * After a parse, check in this order: a non-null error text means failure
 * (discard the tree); otherwise the root is stack[0].element, and no root
 * means the input held no element. Take the root by reading stack[0].element
 * and setting it to null; the state frees whatever it still holds.
 *
 * The reader resolves only the predefined entities and character
 * references: a document type line is accepted, but no external definition,
 * external entity or declared entity is ever read or expanded (a reference
 * to one is a complaint). Hostile input is bounded: a start tag with more
 * than 256 attributes, which the parser library would check in time
 * quadratic in their number, ends the parse with "XML element has too many
 * attributes!"; markup of any other kind and length is parsed (or refused
 * by the parser library's own limits, such as its 10 MB bound on one piece
 * of markup); a reply keeps at most about 8 KiB of complaints.
 */
#ifndef CORVEX_CX_XML_H
#define CORVEX_CX_XML_H

#include <stddef.h>
#include <stdint.h>
#include "corvex/cx_elem.h"
#include "vovedi/common.h"
#include "vovedi/shttpc.h"

VV_BEGIN_DECL

/* Number of stack entries: the deepest element accepted is at level 20. */
#define CX_XML_STACK_SIZE 20

/* One open element, and the text of its parent parked while it is open. */
typedef struct cx_xml_entry_s {
    cx_elem_t *element;    /* entry 0 owns the root; deeper entries borrow */
    char *saved_text;      /* the parent's character data so far, owned */
    size_t saved_capacity; /* its allocation size */
    size_t saved_length;   /* its length */
} cx_xml_entry_t;

/* One parse in progress; serves exactly one document. */
typedef struct cx_xml_state_s {
    char *error;          /* null while no problem was seen; owned by the state */
    char *text;           /* character data of the innermost open element, owned */
    size_t text_capacity; /* allocation size of text */
    cx_xml_entry_t stack[CX_XML_STACK_SIZE];
    int stack_capacity; /* CX_XML_STACK_SIZE */
    int depth;          /* index of the innermost open entry; -1 before the root */
    /* Internal bookkeeping of the reader. */
    size_t text_length;    /* length of text */
    size_t error_capacity; /* allocation size of error; 0 when it is a constant text */
    long unstacked;        /* open elements that got no entry (too deep, or not created) */
    int keeps_last;        /* 1 for the request parser: a complaint replaces the error text */
    char *held_name;       /* name of the innermost element while it is not made yet */
    size_t held_capacity;  /* allocation size of held_name */
    char *spare_text;      /* a text buffer kept for the next element's text */
    size_t spare_capacity; /* its allocation size */
    void *element_slab;    /* where new elements are placed, many to a block */
    size_t element_slab_used;
    int too_large; /* 1 when a reply was refused for going past its limit */
} cx_xml_state_t;

/* Text source of the request parser: a copy of the request text. */
typedef struct cx_xml_source_s {
    char *text;       /* owned copy */
    size_t position;  /* next byte to deliver */
    size_t remaining; /* bytes not yet delivered */
} cx_xml_source_t;

/* Reader of the request parser: bytes copied into buffer (at most size), 0 at the end. */
typedef size_t (*cx_xml_reader_fn)(cx_xml_source_t *source, char *buffer, size_t size);

/* New reply parse state (empty stack, no error, no text); null with ENOMEM. */
cx_xml_state_t *xml_create(void);

/*
 * Read a reply body from conn in chunks of up to 8192 bytes and parse it into
 * state: up to content_length bytes, or, when content_length is negative,
 * until a read yields nothing (peer closed, failure or time-out). When the
 * first read yields nothing, nothing is parsed and the state has neither
 * root nor error (the socket last error tells a time-out from an empty
 * reply). The connection stays open. A null argument does nothing.
 */
void xml_parse_stream(shttpc_t *conn, cx_xml_state_t *state, long content_length);

/*
 * As xml_parse_stream, taking at most limit bytes of body (0: no limit). A
 * reply announced longer than the limit is not read at all; one that goes
 * on past it is read up to the limit and one byte more. Either way the
 * state's too_large is set to 1 and its error text to "XML reply is too
 * large!", and the tree is incomplete.
 */
void xml_parse_stream_limit(shttpc_t *conn, cx_xml_state_t *state, long content_length,
                            uint64_t limit);

/*
 * Parse a whole reply held in memory into state. 1 when it was parsed (the
 * outcome is in the state; an empty text gives neither root nor error); 0
 * when the parser could not be started, with errno EINVAL for a null
 * argument.
 */
int xml_parse_string(const char *text, cx_xml_state_t *state);

/* Free the state with its error text, text buffers and any root it still holds; null is ignored. */
void xml_destroy(cx_xml_state_t *state);

/* New request parse state; null with ENOMEM. */
cx_xml_state_t *cx_xml_request_state_new(void);

/* As xml_destroy. */
void cx_xml_request_state_free(cx_xml_state_t *state);

/* New text source holding a copy of text; null with EINVAL or ENOMEM. Free with cx_xml_source_free.
 */
cx_xml_source_t *cx_xml_source_new(const char *text);

/*
 * Copy the next bytes of the source into buffer: the smaller of size and the
 * bytes remaining. Returns the count; 0 at the end, when buffer[0] is also
 * set to NUL (if size is not 0). No NUL is added after a non-empty read.
 */
size_t cx_xml_source_read(cx_xml_source_t *source, char *buffer, size_t size);

/* Free the source and its copy; null is ignored. */
void cx_xml_source_free(cx_xml_source_t *source);

/*
 * Parse the request text that reader delivers from source into state, in
 * chunks of up to 2048 bytes. The outcome is in the state. A null argument
 * does nothing.
 */
void cx_xml_request_parse(cx_xml_state_t *state, cx_xml_reader_fn reader, cx_xml_source_t *source);

/* Initialise the XML parser library; safe to call more than once and from several threads. */
void cx_xml_init(void);

/*
 * Release the XML parser library's global state; it is initialised again on
 * next use. Call only when no parse runs (at process exit).
 */
void cx_xml_cleanup(void);

/*
 * The process-wide XML debug flag. While it is nonzero the request parser
 * prints a line per start and end tag on standard output and the reply
 * parser copies every chunk it reads from a connection to standard error.
 * Safe to set and read from any thread.
 */
void cx_xml_debug_set(int value);
int cx_xml_debug_get(void);

VV_END_DECL

#endif
