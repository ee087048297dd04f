/*
 * Output sinks of the XML writer, and the text builder that collects the
 * writer's output in one growing text.
 */
#ifndef CORVEX_CX_XML_SINK_H
#define CORVEX_CX_XML_SINK_H

#include <stddef.h>
#include "vovedi/common.h"

VV_BEGIN_DECL

/*
 * A sink receives each piece of output as NUL-terminated text together with
 * the caller's context; it returns nonzero to go on and 0 to stop the writer.
 */
typedef int (*cx_xml_sink_fn)(const char *piece, void *context);

/*
 * Text builder: start it as {NULL, 0, 0}. buffer is owned by the builder's
 * user (release it with VV_FREE) and NUL-terminated once a piece was added.
 */
typedef struct cx_xml_sink_s {
    char *buffer;    /* null until the first allocation */
    size_t length;   /* bytes of text, not counting the terminating NUL */
    size_t capacity; /* bytes allocated for buffer */
} cx_xml_sink_t;

/*
 * Sink function of the text builder (context: a cx_xml_sink_t): appends the
 * piece. 1 on success; 0 with errno EINVAL for a null piece or builder, 0
 * with ENOMEM when the buffer cannot grow (the text so far stays intact).
 */
int cx_xml_sink_append(const char *piece, void *builder);

/*
 * Make room for at least size bytes (terminating NUL included). 1 on
 * success; 0 with EINVAL for a null builder, 0 with ENOMEM when memory runs
 * out (the text so far stays intact).
 */
int cx_xml_sink_reserve(cx_xml_sink_t *builder, size_t size);

VV_END_DECL

#endif
