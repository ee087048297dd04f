/*
 * Element tree: every API request and every reply is held as a tree of
 * elements. An element has a name, an optional text content, attributes
 * (keys compared case-insensitively) and an ordered list of children; every
 * value is text. A parent owns its children; whoever holds a root owns the
 * whole tree and releases it with cx_elem_free.
 *
 * Failures are reported by the result (null or 0) with errno set: EINVAL for
 * a missing argument, ENOMEM when memory runs out. A failed operation leaves
 * the tree as it was.
 */
#ifndef CORVEX_CX_ELEM_H
#define CORVEX_CX_ELEM_H

#include "corvex/cx_xml_sink.h"
#include "vovedi/common.h"
#include "vovedi/stab.h"

VV_BEGIN_DECL

/* One element. Read the fields directly; change them only through the functions below. */
typedef struct cx_elem_s {
    char *name;                     /* never null; fixed at creation */
    stab_t *attributes;             /* null until the first attribute is set */
    char *content;                  /* null means no content, unlike the empty text */
    struct cx_elem_s *first_child;  /* children in insertion order, or null */
    struct cx_elem_s *last_child;   /* null exactly when first_child is */
    struct cx_elem_s *next_sibling; /* the following child of the same parent */
} cx_elem_t;

/* Iterator over children: the next child to return; valid while the list is unchanged. */
typedef cx_elem_t *cx_elem_iter_t;

/*
 * New element with a copy of name, no content, no attributes, no children.
 * The caller frees it with cx_elem_free. Null with EINVAL for a null name,
 * with ENOMEM when memory runs out.
 */
cx_elem_t *cx_elem_create(const char *name);

/* Free an element with its attributes, content and all descendants; null is ignored. */
void cx_elem_free(cx_elem_t *elem);

/*
 * Replace the content with a copy of text. 1 on success; 0 with EINVAL when
 * an argument is null, 0 with ENOMEM when the copy fails (the old content
 * stays).
 */
int cx_elem_set_content(cx_elem_t *elem, const char *text);

/*
 * Set attribute name to a copy of value; an existing name (compared
 * case-insensitively) keeps its spelling and gets the new value. Values are
 * stored and written unescaped: escape arbitrary text with xml_escape first.
 * 1 on success; 0 with EINVAL when an argument is null, 0 with ENOMEM when
 * memory runs out (the attributes stay as they were).
 */
int cx_elem_attr_set(cx_elem_t *elem, const char *name, const char *value);

/*
 * Append child as the last child of parent, which takes ownership of it.
 * child must belong to no tree. Returns child; null with EINVAL when an
 * argument is null or child is parent itself.
 */
cx_elem_t *cx_elem_child_add(cx_elem_t *parent, cx_elem_t *child);

/*
 * Append a new child named name with a copy of value as its content.
 * Returns the child (owned by parent); null with EINVAL when an argument is
 * null, with ENOMEM when memory runs out (nothing is appended).
 */
cx_elem_t *cx_elem_child_add_string(cx_elem_t *parent, const char *name, const char *value);

/*
 * Append a new child named name whose content is value encrypted with RC4
 * under key and written as lowercase hexadecimal, two digits per byte. key is
 * a NUL-terminated key text; null selects the built-in default key. Returns
 * the child (owned by parent); null with EINVAL when parent, name or value is
 * null or key is empty, with ENOMEM when memory runs out (nothing is
 * appended).
 */
cx_elem_t *cx_elem_child_add_encrypted(cx_elem_t *parent, const char *name, const char *value,
                                       const char *key);

/*
 * The first direct child whose name equals name exactly (case-sensitive).
 * Null with EINVAL when an argument is null; null with errno untouched when
 * no child matches.
 */
cx_elem_t *cx_elem_child_get(const cx_elem_t *elem, const char *name);

/*
 * Detach child from parent and hand it back to the caller, who then owns
 * it. Null with EINVAL when an argument is null; null with errno untouched
 * when child is not a child of parent (the list is unchanged).
 */
cx_elem_t *cx_elem_child_remove(cx_elem_t *parent, cx_elem_t *child);

/* Iterator at the first child of elem; a null elem gives an exhausted iterator. */
cx_elem_iter_t cx_elem_child_iter(const cx_elem_t *elem);

/* The child at the iterator, moving it on; null at the end (or for a null iterator). */
cx_elem_t *cx_elem_iter_next(cx_elem_iter_t *iter);

/*
 * Write elem and its subtree as XML, piece by piece, to sink. level >= 0
 * selects the indented layout (level spaces before the element's own tags,
 * eight more per generation, one element per line); any negative level the
 * compact layout on one line. prefix (never null, may be empty) goes before
 * every element and attribute name. With escape set, the five XML special
 * characters of contents are written as entities, and in attribute values
 * "<" as "&lt;", '"' as "&quot;" and "&" as "&amp;" unless it starts the
 * reference of a predefined entity or of a character XML allows (so values
 * stored escaped are written as they are, and the output is well-formed);
 * without it, contents and values are written as stored. The sink gets each
 * piece NUL-terminated: names, the prefix and markup whole, contents and
 * indentation one byte a piece. Returns 1 when every piece was accepted, 0
 * as soon as the sink refuses one (or with EINVAL for a null elem, prefix
 * or sink).
 */
int cx_elem_write(const cx_elem_t *elem, int level, const char *prefix, cx_xml_sink_fn sink,
                  void *context, int escape);

/*
 * Write elem and its subtree to an open stream, as cx_elem_sprintf would
 * build it (escaping on), in runs of bytes. 1 on success; 0 with EINVAL for
 * a null argument or a stream that is not open, or 0 with the errno of a
 * failed write.
 */
int cx_elem_write_stream(const cx_elem_t *elem, int level, const char *prefix,
                         cx_xml_stream_t *stream);

/*
 * New text holding elem and its subtree as XML, contents escaped (see
 * cx_elem_write); the caller releases it with VV_FREE. Null with EINVAL for
 * a null elem or prefix, with ENOMEM when memory runs out.
 */
char *cx_elem_sprintf(const cx_elem_t *elem, int level, const char *prefix);

/* cx_elem_sprintf(elem, 0, ""): the indented form without a prefix. */
char *cx_elem_to_string(const cx_elem_t *elem);

VV_END_DECL

#endif
