/* See shm_producer_c_side.h: the header is compiled here by a C compiler. */
#include "shm_producer_c_side.h"

#include <stdlib.h>

#include "orvix/shm/producer.h"

struct CSideProducer {
    OrvixShmProducer p;
};

CSideProducer *c_side_attach(const char *name) {
    CSideProducer *producer = (CSideProducer *)malloc(sizeof *producer);
    if (!producer) return NULL;
    if (orvix_shm_attach(&producer->p, name) != 0) {
        free(producer);
        return NULL;
    }
    return producer;
}

int c_side_push(CSideProducer *producer, const void *data, size_t size) {
    return orvix_shm_push(&producer->p, data, size);
}

void c_side_detach(CSideProducer *producer) {
    orvix_shm_detach(&producer->p);
    free(producer);
}

void c_side_use_full_fence(CSideProducer *producer) { producer->p.light_fence = 0; }

int c_side_layout_holds(const OrvixShmHeader *header, uint64_t mapping_bytes) {
    return orvix_shm__layout_holds(header, mapping_bytes);
}
