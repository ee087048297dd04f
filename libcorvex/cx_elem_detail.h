// Element operations shared inside the client library, not part of its
// public interface.
#pragma once

#include <cstddef>

#include "corvex/cx_elem.h"

namespace cx_detail
{

// Where a reader places the elements it makes: slabs of many elements,
// each released when its last element is freed. Start it as {nullptr, 0};
// end it with elem_slab_done (the elements stay).
struct elem_slab {
    void *slab; // the slab being filled, or null
    size_t used;
};

// A new element named by the first name_length bytes of name, with the
// first content_length bytes of content as its content (null: none), in one
// block (in the cursor's slab when there is a cursor and it is small);
// null with errno ENOMEM. Neither text needs a terminating NUL.
cx_elem_t *elem_new(const char *name, size_t name_length, const char *content,
                    size_t content_length, elem_slab *cursor);

// The reader makes no more elements with this cursor.
void elem_slab_done(elem_slab *cursor);

// Append child as the last child of parent, unchecked.
void elem_append(cx_elem_t *parent, cx_elem_t *child);

} // namespace cx_detail
