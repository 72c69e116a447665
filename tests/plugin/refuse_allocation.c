/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Preloaded before the C library, this allocator refuses a given number of
 * allocations of one given size, so a test can take memory away from the
 * real module at the moment it asks for its register store. */
#include <stddef.h>

void* __libc_malloc(size_t size);

static size_t refusedSize;
static int refusalsLeft;

__attribute__((visibility("default"))) void hushlinkRefuseAllocations(size_t size, int count) {
  refusedSize = size;
  refusalsLeft = count;
}

__attribute__((visibility("default"))) void* malloc(size_t size) {
  if (refusalsLeft > 0 && size == refusedSize) {
    --refusalsLeft;
    return NULL;
  }
  return __libc_malloc(size);
}
