/*
 * Output sinks of the XML writer: a caller's own sink, which gets the output
 * piece by piece; the text builder, which collects it in one growing text;
 * and the stream, which writes it to a file (standard output) as it comes.
 * The last two take runs of bytes in one step.
 */
#ifndef CORVEX_CX_XML_SINK_H
#define CORVEX_CX_XML_SINK_H

#include <stddef.h>
#include <stdio.h>
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

/*
 * Append n bytes (any bytes, no terminating NUL needed) to the builder's
 * text, which stays NUL-terminated; the buffer grows geometrically. 1 on
 * success; 0 with errno EINVAL for a null builder (or null bytes with n > 0),
 * 0 with ENOMEM when memory runs out (the text so far stays intact).
 */
int cx_xml_sink_append_run(cx_xml_sink_t *builder, const char *bytes, size_t n);

/*
 * Stream: output written to a file through a buffer of its own. Open it,
 * write to it (cx_elem_write_stream, cx_xml_stream_write), close it.
 */
typedef struct cx_xml_stream_s {
    FILE *file;      /* where the output goes; not owned */
    char *buffer;    /* owned; null until opened and after closing */
    size_t length;   /* bytes waiting in buffer */
    size_t capacity; /* bytes allocated for buffer */
    int error;       /* errno of the first failed write; 0 while none failed */
} cx_xml_stream_t;

/*
 * Open a stream to file (not closed by the stream). 1 on success; 0 with
 * errno EINVAL for a null argument, 0 with ENOMEM when the buffer cannot be
 * allocated (the stream is then closed, nothing was written).
 */
int cx_xml_stream_open(cx_xml_stream_t *stream, FILE *file);

/*
 * Write n bytes. 1 on success; 0 with errno EINVAL for a stream that is not
 * open, or 0 with the errno of the failed write (kept in stream->error, and
 * every later write fails the same way).
 */
int cx_xml_stream_write(cx_xml_stream_t *stream, const char *bytes, size_t n);

/*
 * Write out what is buffered, flush the file and release the buffer; the
 * stream is closed afterwards, also on failure. 1 when every write of the
 * stream succeeded; 0 with the errno of the first failed write (EINVAL for
 * a null stream).
 */
int cx_xml_stream_close(cx_xml_stream_t *stream);

VV_END_DECL

#endif
