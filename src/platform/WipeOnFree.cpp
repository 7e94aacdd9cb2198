// Every block of memory the window program frees is zeroed before the
// allocator takes it back. The texts Qt makes of the entries (a painted
// cell, a message box, the clipboard's copy, a typed password) are freed
// without being wiped, and freed memory keeps its bytes until something
// reuses it: a program locked while its person is away would still hold
// them. Only the executable `keynook` links this file, so the libraries, the
// tests and keynook-cli allocate as usual.
//
// glibc lets a program replace free() and realloc() and still reach its
// own through __libc_free() and friends; libc calls itself directly, so
// only memory freed from outside libc is zeroed. Under AddressSanitizer,
// which replaces the allocator itself, its own option does the same.
#include "platform/WipeOnFree.h"

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)

extern "C" const char* __asan_default_options() {
    return "max_free_fill_size=2147483647:free_fill_byte=0";
}

#elif defined(__linux__) && defined(__GLIBC__)

#include <malloc.h>
#include <stdlib.h>
#include <string.h>

extern "C" {

void* __libc_malloc(size_t size);
void __libc_free(void* block);

void free(void* block) noexcept {
    if (block)
        explicit_bzero(block, malloc_usable_size(block));
    __libc_free(block);
}

// glibc's realloc() frees what it moves away from without ours: a block
// that must grow is moved here, through free().
void* realloc(void* block, size_t size) noexcept {
    if (!block)
        return __libc_malloc(size);
    if (size == 0) {
        free(block);
        return nullptr;
    }
    const size_t had = malloc_usable_size(block);
    if (size <= had)
        return block;
    void* moved = __libc_malloc(size);
    if (!moved)
        return nullptr;
    memcpy(moved, block, had);
    free(block);
    return moved;
}

} // extern "C"

#endif
