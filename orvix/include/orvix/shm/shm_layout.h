/*
 * orvix/shm/shm_layout.h: how a ring in named shared memory (orvix.shm.SharedRing)
 * is laid out, for producers written in any language: the same on Linux (a
 * POSIX shared memory object "/name") and Windows (the named file mapping
 * "Local\orvix-m-name"; see producer.h for its companion objects).
 *
 *   offset 0                    OrvixShmHeader, written once by the creator
 *   ORVIX_SHM_STATE_OFFSET      the words both sides share (512 bytes; below)
 *   ORVIX_SHM_BLOCK_OFFSET      the message block, header.total_bytes long
 *
 * The shared words, as offsets from ORVIX_SHM_STATE_OFFSET (each written by
 * one side only, but the head of an overwriting ring). This table and the
 * macros below are the layout's one definition: the consumer's C++ view of
 * the same words (orvix/ringq/ring_shared_state.hpp) is checked against them
 * word by word, offset and size, when it is compiled.
 *
 *   0    u64 tail      producer: the position after the last published message
 *   8    u64 stored    producer: pushes that stored their message
 *   16   u64 dropped   producer: messages overwritten before they were taken
 *   24   u64 refused   producer: pushes that stored nothing
 *   128  u64 head      consumer: the first position not yet free (overwrite: both)
 *   136  u64 held      consumer, overwrite: the position it is reading, or ~0
 *   144  u64 taken     consumer: messages taken
 *   256  u32 consumer_sleeping  consumer: 1 while it may sleep on this word (a futex)
 *   260  u32 producer_sleeping  in-process producers only: a C producer leaves
 *   264  u64 producer_wake_at   these four alone (it never waits for room, and
 *   272  u32 session            its session is the lock on the object)
 *   276  u32 reader_present
 *   384  u32 closed    consumer: 1 once the ring is closed: pushes answer -2
 *   388  u32 mode      creator: ORVIX_SHM_MODE_FIXED or ORVIX_SHM_MODE_VARIABLE
 *
 * Positions count slots (fixed-size) or bytes (variable-size) and never wrap.
 * Fixed-size: message at position p has its payload at block + (p & (slots-1))
 * * slot_stride and its u64 length at block + lengths_offset + (p & (slots-1))
 * * 8. Variable-size: a record at byte position p is a u64 length at block +
 * (p & (ring_bytes-1)), then the payload padded to 8 bytes; a record never
 * wraps: a length of ~0 says the rest of the lap is unused.
 */
#ifndef ORVIX_SHM_SHM_LAYOUT_H
#define ORVIX_SHM_SHM_LAYOUT_H

#include <stdint.h>

#define ORVIX_SHM_MAGIC 0x314d48535856524fULL /* "ORVXSHM1", little-endian */
#define ORVIX_SHM_VERSION 1u
#define ORVIX_SHM_STATE_OFFSET 512u
#define ORVIX_SHM_BLOCK_OFFSET 4096u
#define ORVIX_SHM_NAME_MAX 255 /* with the leading '/' */

#define ORVIX_SHM_VARIABLE_SIZE 1u /* header.flags */
#define ORVIX_SHM_OVERWRITE 2u

/* header.fences: the consumer executes membarrier(MEMBARRIER_CMD_GLOBAL_EXPEDITED)
 * before it sleeps, so a producer whose process registered for it
 * (MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED) may take a compiler fence, not a
 * full fence, between publishing its tail and reading the consumer's sleeping
 * flag. Without the flag, or without the registration, the producer takes a
 * full fence. */
#define ORVIX_SHM_GLOBAL_FENCES 1u

/* header.producer_state: written by producers, read by the consumer. */
#define ORVIX_SHM_PRODUCER_NONE 0u
#define ORVIX_SHM_PRODUCER_ATTACHED 1u
#define ORVIX_SHM_PRODUCER_DETACHED 2u

/* The offsets of the shared words from ORVIX_SHM_STATE_OFFSET. */
#define ORVIX_SHM_TAIL 0u
#define ORVIX_SHM_STORED 8u
#define ORVIX_SHM_DROPPED 16u
#define ORVIX_SHM_REFUSED 24u
#define ORVIX_SHM_HEAD 128u
#define ORVIX_SHM_HELD 136u
#define ORVIX_SHM_TAKEN 144u
#define ORVIX_SHM_CONSUMER_SLEEPING 256u
#define ORVIX_SHM_PRODUCER_SLEEPING 260u
#define ORVIX_SHM_PRODUCER_WAKE_AT 264u
#define ORVIX_SHM_SESSION 272u
#define ORVIX_SHM_READER_PRESENT 276u
#define ORVIX_SHM_CLOSED 384u
#define ORVIX_SHM_MODE 388u
#define ORVIX_SHM_STATE_BYTES 512u /* the shared words take this much, padding included */

/* The values of the mode word. */
#define ORVIX_SHM_MODE_FIXED 1u
#define ORVIX_SHM_MODE_VARIABLE 2u

/* The results of a push (orvix_shm_push; the consumer's engine answers the
 * same numbers, as does orvix/utils/corvane/producer.h). */
#define ORVIX_SHM_PUSH_STORED 1
#define ORVIX_SHM_PUSH_FULL 0
#define ORVIX_SHM_PUSH_TOO_LARGE (-1)
#define ORVIX_SHM_PUSH_CLOSED (-2)
#define ORVIX_SHM_PUSH_WRONG_MODE (-3)

typedef struct OrvixShmHeader {
    uint64_t magic;          /* ORVIX_SHM_MAGIC */
    uint32_t version;        /* ORVIX_SHM_VERSION */
    uint32_t flags;          /* ORVIX_SHM_VARIABLE_SIZE | ORVIX_SHM_OVERWRITE */
    uint64_t slot_size;      /* as asked: the largest fixed-size message */
    uint64_t capacity;       /* as asked */
    uint64_t slots;          /* fixed-size slots: a power of two */
    uint64_t slot_stride;    /* bytes from one fixed-size slot to the next */
    uint64_t lengths_offset; /* the fixed-size length table, from the block */
    uint64_t ring_bytes;     /* the variable-size ring: a power of two */
    uint64_t max_record;     /* the largest variable-size message */
    uint64_t total_bytes;    /* the block */
    uint64_t mapping_bytes;  /* the whole shared memory object */
    uint32_t producer_state; /* ORVIX_SHM_PRODUCER_* */
    uint32_t producer_pid;   /* the attached producer's process, for diagnostics */
    uint32_t fences;         /* ORVIX_SHM_GLOBAL_FENCES: the consumer's choice, written by the creator */
    uint32_t reserved;
} OrvixShmHeader;

#endif /* ORVIX_SHM_SHM_LAYOUT_H */
