// Blocks on the process heap.
#include <windows.h>

#include "common/platform.h"

void* plat_heap_alloc(size_t size)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void* plat_heap_realloc(void* block, size_t size)
{
    return HeapReAlloc(GetProcessHeap(), 0, block, size);
}

void plat_heap_free(void* block)
{
    // HeapFree accepts a null block, but says so only in recent documentation;
    // skipping it keeps the last error untouched on every version.
    if (block != NULL) HeapFree(GetProcessHeap(), 0, block);
}
