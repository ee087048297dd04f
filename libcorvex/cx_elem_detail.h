// Element operations shared inside the client library, not part of its
// public interface.
#pragma once

#include <cstddef>

#include "corvex/cx_elem.h"

namespace cx_detail
{

// A new element named by the first name_length bytes of name, with the
// first content_length bytes of content as its content (null: none), in one
// block; null with errno ENOMEM. Neither text needs a terminating NUL.
cx_elem_t *elem_new(const char *name, size_t name_length, const char *content,
                    size_t content_length);

// Append child as the last child of parent, unchecked.
void elem_append(cx_elem_t *parent, cx_elem_t *child);

} // namespace cx_detail
