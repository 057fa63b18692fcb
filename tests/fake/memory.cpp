// Blocks on the heap, zeroed as HEAP_ZERO_MEMORY gives them.
#include "fake/state.h"

void* plat_heap_alloc(size_t size) { return fails("HeapAlloc") ? nullptr : calloc(1, size); }
void* plat_heap_realloc(void* block, size_t size) { return fails("HeapReAlloc") ? nullptr : realloc(block, size); }
void plat_heap_free(void* block) { free(block); }
