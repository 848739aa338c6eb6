// Memory taken from the system page by page, for large records that are mostly left
// untouched: it starts zero, only the pages written become resident, and it goes back to
// the system at once when freed (the allocator would keep it for reuse).
#ifndef LIBLUMO_HELPERS_PAGEMEMORY_H
#define LIBLUMO_HELPERS_PAGEMEMORY_H

#include <cstddef>

namespace liblumo::pages {

// Zero-filled pages holding at least size bytes; null when the system gave none.
void *allocate(std::size_t size);
void release(void *memory, std::size_t size);

} // namespace liblumo::pages

#endif
