// Bump allocator: a round-up, two comparisons and an add per allocation.
#include "vaderad/turbo_arena.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Capacity the arena chooses for a request: clamped to [64, 16 MiB] and
// rounded up to a multiple of 64.
size_t clamp_capacity(size_t want) {
  if (want < LN_ARENA_MIN_SIZE) want = LN_ARENA_MIN_SIZE;
  if (want > LN_ARENA_MAX_SIZE) want = LN_ARENA_MAX_SIZE;
  return (want + LN_ARENA_BLOCK_ALIGN - 1) & ~static_cast<size_t>(LN_ARENA_BLOCK_ALIGN - 1);
}

uint8_t *new_block(size_t capacity) {
  return static_cast<uint8_t *>(aligned_alloc(LN_ARENA_BLOCK_ALIGN, capacity));
}

// Offset at which a block of `size` bytes with the given alignment starts, or
// SIZE_MAX when it does not fit. The absolute address is aligned, so a static
// buffer at any address serves every alignment correctly.
size_t fit(const ln_arena_t *a, size_t size, size_t align) {
  if (a == nullptr || a->base == nullptr) return SIZE_MAX;
  const uintptr_t base = reinterpret_cast<uintptr_t>(a->base);
  const uintptr_t at = base + a->used;
  if (at < base) return SIZE_MAX;
  const uintptr_t aligned = (at + (align - 1)) & ~static_cast<uintptr_t>(align - 1);
  if (aligned < at) return SIZE_MAX;
  const size_t off = static_cast<size_t>(aligned - base);
  if (off < a->used || off > a->capacity) return SIZE_MAX;
  if (size > a->capacity - off) return SIZE_MAX;
  return off;
}

void *take(ln_arena_t *a, size_t off, size_t size) {
  a->used = off + size;
  ++a->alloc_count;
  if (a->used > a->peak) a->peak = a->used;
  return a->base + off;
}

void *alloc(ln_arena_t *a, size_t size, size_t align) {
  const size_t off = fit(a, size, align);
  return off == SIZE_MAX ? nullptr : take(a, off, size);
}

} // namespace

int ln_arena_init_sized(ln_arena_t *arena, size_t capacity) {
  if (arena == nullptr) return -1;
  memset(arena, 0, sizeof *arena);
  const size_t cap = clamp_capacity(capacity);
  arena->base = new_block(cap);
  if (arena->base == nullptr) return -2;
  arena->capacity = cap;
  arena->flags = LN_ARENA_OWNED;
  return 0;
}

int ln_arena_init(ln_arena_t *arena) { return ln_arena_init_sized(arena, LN_ARENA_DEFAULT_SIZE); }

int ln_arena_init_static(ln_arena_t *arena, void *buffer, size_t capacity) {
  if (arena == nullptr || buffer == nullptr || capacity < LN_ARENA_MIN_SIZE) return -1;
  memset(arena, 0, sizeof *arena);
  arena->base = static_cast<uint8_t *>(buffer);
  arena->capacity = capacity;
  arena->flags = LN_ARENA_STATIC;
  return 0;
}

int ln_arena_ensure(ln_arena_t *arena, size_t min_capacity) {
  if (arena == nullptr || arena->base == nullptr) return -1;
  if (arena->capacity >= min_capacity) return 0;
  if (arena->flags != LN_ARENA_OWNED || arena->used != 0) return -3;
  const size_t cap = clamp_capacity(min_capacity);
  if (cap < min_capacity) return -3;
  uint8_t *block = new_block(cap);
  if (block == nullptr) return -2;
  free(arena->base);
  arena->base = block;
  arena->capacity = cap;
  arena->used = 0;
  arena->alloc_count = 0;
  return 0;
}

void ln_arena_destroy(ln_arena_t *arena) {
  if (arena == nullptr) return;
  if (arena->flags == LN_ARENA_OWNED) free(arena->base);
  memset(arena, 0, sizeof *arena);
}

void *ln_arena_alloc(ln_arena_t *arena, size_t size) {
  return alloc(arena, size ? size : 1, LN_ARENA_ALIGN);
}

void *ln_arena_alloc_aligned(ln_arena_t *arena, size_t size, size_t alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0 || alignment > LN_ARENA_MAX_ALIGN)
    return nullptr;
  return alloc(arena, size ? size : 1, alignment);
}

void *ln_arena_alloc_array(ln_arena_t *arena, size_t nmemb, size_t elem) {
  size_t n;
  if (__builtin_mul_overflow(nmemb, elem, &n)) return nullptr;
  return alloc(arena, n ? n : 1, LN_ARENA_ALIGN);
}

void *ln_arena_calloc(ln_arena_t *arena, size_t size) {
  void *p = ln_arena_alloc(arena, size);
  if (p != nullptr) memset(p, 0, size);
  return p;
}

char *ln_arena_strndup(ln_arena_t *arena, const char *str, size_t len) {
  if (str == nullptr || len == SIZE_MAX) return nullptr;
  auto *p = static_cast<char *>(alloc(arena, len + 1, LN_ARENA_ALIGN));
  if (p == nullptr) return nullptr;
  memcpy(p, str, len);
  p[len] = '\0';
  return p;
}

char *ln_arena_strdup(ln_arena_t *arena, const char *str) {
  if (str == nullptr) return nullptr;
  return ln_arena_strndup(arena, str, strlen(str));
}

void *ln_arena_memdup(ln_arena_t *arena, const void *src, size_t size) {
  if (src == nullptr || size == 0) return nullptr;
  void *p = alloc(arena, size, LN_ARENA_ALIGN);
  if (p != nullptr) memcpy(p, src, size);
  return p;
}

void ln_arena_reset(ln_arena_t *arena) {
  if (arena == nullptr) return;
  arena->used = 0;
  arena->alloc_count = 0;
}

void ln_arena_save(const ln_arena_t *arena, ln_arena_mark_t *mark) {
  if (arena == nullptr || mark == nullptr) return;
  mark->used = arena->used;
  mark->alloc_count = arena->alloc_count;
}

void ln_arena_restore(ln_arena_t *arena, const ln_arena_mark_t *mark) {
  if (arena == nullptr || mark == nullptr || mark->used > arena->used) return;
  arena->used = mark->used;
  arena->alloc_count = mark->alloc_count;
}

void ln_arena_get_stats(const ln_arena_t *arena, ln_arena_stats_t *stats) {
  if (stats == nullptr) return;
  memset(stats, 0, sizeof *stats);
  if (arena == nullptr) return;
  stats->capacity = arena->capacity;
  stats->used = arena->used;
  stats->peak = arena->peak;
  stats->available = arena->capacity >= arena->used ? arena->capacity - arena->used : 0;
  stats->alloc_count = arena->alloc_count;
  stats->utilization =
      arena->capacity ? static_cast<double>(arena->used) / static_cast<double>(arena->capacity) : 0;
}
