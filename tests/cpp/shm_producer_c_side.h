/* The public C producer (orvix/shm/producer.h) compiled as C, for the C++
 * tests that hold it against the ring engine. */
#ifndef ORVIX_TESTS_SHM_PRODUCER_C_SIDE_H
#define ORVIX_TESTS_SHM_PRODUCER_C_SIDE_H

#include <stddef.h>
#include <stdint.h>

#include "orvix/shm/shm_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CSideProducer CSideProducer;

/* orvix_shm_attach into a new producer: null with errno when it fails. */
CSideProducer *c_side_attach(const char *name);
int c_side_push(CSideProducer *producer, const void *data, size_t size);
void c_side_detach(CSideProducer *producer);
/* The producer takes the full fence even where the consumer's global membarrier would stand in for it. */
void c_side_use_full_fence(CSideProducer *producer);
/* orvix_shm__layout_holds: whether the header adds up for a mapping of `mapping_bytes`. */
int c_side_layout_holds(const OrvixShmHeader *header, uint64_t mapping_bytes);

#ifdef __cplusplus
}
#endif

#endif
