// Reading a reply body within its announced length and the reply limit.

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "corvex/cx_invoke.h"
#include "cx_reply_detail.h"

cx_detail::body_reader::body_reader(shttpc_t *conn, long length, uint64_t limit)
    : conn_(conn), length_(length), limit_(limit)
{
    too_large_ = limit > 0 && length > 0 && static_cast<uint64_t>(length) > limit;
}

int cx_detail::body_reader::next(char *buffer, size_t size)
{
    if (too_large_ || (length_ >= 0 && received_ >= static_cast<uint64_t>(length_)))
        return 0;
    uint64_t want = size;
    if (length_ >= 0)
        want = std::min(want, static_cast<uint64_t>(length_) - received_);
    if (limit_ > 0 && received_ >= limit_) {
        // At the limit with the body not known to end here: one byte more
        // tells whether it goes on.
        char probe;
        too_large_ = shttpc_read(conn_, &probe, 1) > 0;
        return 0;
    }
    if (limit_ > 0)
        want = std::min(want, limit_ - received_);
    int n = shttpc_read(conn_, buffer, static_cast<int>(std::min<uint64_t>(want, INT32_MAX)));
    if (n <= 0)
        return 0;
    received_ += static_cast<uint64_t>(n);
    return n;
}

cx_elem_t *cx_detail::reply_too_large(uint64_t limit)
{
    char reason[128];
    snprintf(reason, sizeof reason, "The reply is larger than the limit of %" PRIu64 " bytes.",
             limit);
    return cx_results_new("failed", reason, CX_ERR_RESPONSE);
}
