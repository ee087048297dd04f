// Reading a reply body from a connection, shared by every transport that
// reads one (the reply parser and the raw trace copy of each flow), so that
// all of them keep to the announced length and to the handle's reply limit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corvex/cx_elem.h"
#include "vovedi/shttpc.h"

namespace cx_detail
{

class body_reader
{
  public:
    // length: the announced length of the body, negative when unknown;
    // limit: the most bytes to take in all, 0 for no limit.
    body_reader(shttpc_t *conn, long length, uint64_t limit);

    // The next piece of the body, at most size bytes: the count read; 0 at
    // its end, when a read fails or yields nothing, and when the body goes
    // on past the limit. Never reads past the announced length; past the
    // limit it reads at most one byte, to tell that there is more.
    int next(char *buffer, size_t size);

    // Whether the body is over the limit: announced so (then nothing is
    // read at all), or found so by next.
    bool too_large() const { return too_large_; }

  private:
    shttpc_t *conn_;
    long length_;
    uint64_t limit_;
    uint64_t received_ = 0;
    bool too_large_ = false;
};

// The failure result for a reply over the limit, which the reason names.
cx_elem_t *reply_too_large(uint64_t limit);

} // namespace cx_detail
