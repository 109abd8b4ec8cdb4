// Per-message bump allocator of a VaderAD context. Every byte VaderAD makes
// while normalizing one message (unescaped values, built names, copies) comes
// from here; the arena is emptied before each message and never freed
// piecemeal, so a result pointing into it is valid until the next message.
//
// Integer results: 0 success, -1 invalid argument, -2 out of memory, -3 the
// arena cannot grow. Allocations return null on failure and then change
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#define LN_ARENA_DEFAULT_SIZE 16384u
#define LN_ARENA_BLOCK_ALIGN 64u
#define LN_ARENA_MAX_SIZE 16777216u // capacity chosen by the arena never exceeds 16 MiB
#define LN_ARENA_MIN_SIZE 64u
#define LN_ARENA_ALIGN 8u          // alignment of ordinary allocations
#define LN_ARENA_MAX_ALIGN 4096u   // largest explicit alignment

#define LN_ARENA_OWNED 1u  // the block was allocated by the arena and is freed by it
#define LN_ARENA_STATIC 2u // the block belongs to the caller

struct ln_arena_t {
  uint8_t *base;        // start of the block; null when not initialized
  size_t capacity;      // usable bytes
  size_t used;          // offset of the next free byte before alignment
  size_t peak;          // largest `used` ever; survives resets
  uint32_t alloc_count; // allocations since the last reset or restore
  uint32_t flags;       // LN_ARENA_OWNED or LN_ARENA_STATIC
};

struct ln_arena_mark_t {
  size_t used;
  uint32_t alloc_count;
};

struct ln_arena_stats_t {
  size_t capacity;
  size_t used;
  size_t peak;
  size_t available;
  uint32_t alloc_count;
  uint32_t reset_count; // always 0
  double utilization;   // used / capacity, 0 when capacity is 0
};

int ln_arena_init(ln_arena_t *arena);
// Capacity clamped to [64, 16 MiB] and rounded up to a multiple of 64.
int ln_arena_init_sized(ln_arena_t *arena, size_t capacity);
// Uses the caller's buffer as it is; -1 for a null buffer or capacity below 64.
int ln_arena_init_static(ln_arena_t *arena, void *buffer, size_t capacity);
// Makes the block at least min_capacity bytes; only an owned, empty arena is
// ever given a new block (contents are not carried over).
int ln_arena_ensure(ln_arena_t *arena, size_t min_capacity);
void ln_arena_destroy(ln_arena_t *arena);

// 8-byte aligned; a request of 0 is served as 1 byte.
void *ln_arena_alloc(ln_arena_t *arena, size_t size);
// alignment: a power of two up to 4096. The returned address (not only its
// offset in the block) is a multiple of alignment.
void *ln_arena_alloc_aligned(ln_arena_t *arena, size_t size, size_t alignment);
// nmemb * elem bytes, null when the product overflows; 0 is served as 1 byte.
void *ln_arena_alloc_array(ln_arena_t *arena, size_t nmemb, size_t elem);
void *ln_arena_calloc(ln_arena_t *arena, size_t size);
char *ln_arena_strdup(ln_arena_t *arena, const char *str);
// Exactly len bytes (zero bytes included) and a NUL.
char *ln_arena_strndup(ln_arena_t *arena, const char *str, size_t len);
// size bytes without terminator; null for size 0.
void *ln_arena_memdup(ln_arena_t *arena, const void *src, size_t size);

void ln_arena_reset(ln_arena_t *arena);
void ln_arena_save(const ln_arena_t *arena, ln_arena_mark_t *mark);
// Rolls back to mark; never moves forward.
void ln_arena_restore(ln_arena_t *arena, const ln_arena_mark_t *mark);
void ln_arena_get_stats(const ln_arena_t *arena, ln_arena_stats_t *stats);
