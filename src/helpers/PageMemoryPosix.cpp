#include "helpers/PageMemory.h"

#include <sys/mman.h>

namespace liblumo::pages {

void *allocate(std::size_t size)
{
    void *memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

void release(void *memory, std::size_t size)
{
    if (memory != nullptr)
        ::munmap(memory, size);
}

} // namespace liblumo::pages
