/* A producer process for the shared ring tests (Windows and Linux), written
 * against the public C header alone:
 *
 *     shm_producer_process <ring name> <count>    (count 0: until the ring closes)
 *
 * Message n is 8 + n % 57 bytes: n itself, then bytes (n + i) & 0xff, so the
 * consumer can tell a torn, lost, repeated or reordered message. A full ring
 * is retried. Exit status: 0 done, 2 another producer is attached (EBUSY),
 * 3 any other attach failure, 4 a push refused for good. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "orvix/shm/producer.h"

#if defined(_WIN32)
static void pause_ms(unsigned ms) { Sleep(ms); }
static void yield_now(void) { SwitchToThread(); }
#else
#include <time.h>
static void pause_ms(unsigned ms) {
    struct timespec pause = {0, (long)ms * 1000000L};
    nanosleep(&pause, NULL);
}
static void yield_now(void) { sched_yield(); }
#endif

int main(int argc, char **argv) {
    OrvixShmProducer p;
    unsigned char message[64];
    uint64_t n, count;
    if (argc != 3) return 3;
    count = strtoull(argv[2], NULL, 10);
    if (orvix_shm_attach(&p, argv[1]) != 0) return errno == EBUSY ? 2 : 3;
    for (n = 0; count == 0 || n < count; ++n) {
        const size_t size = 8 + (size_t)(n % 57);
        size_t i;
        int result;
        memcpy(message, &n, 8);
        for (i = 8; i < size; ++i) message[i] = (unsigned char)(n + i);
        /* A pause now and then lets the consumer fall asleep, so that its
         * wake-ups are exercised as well as its spinning. */
        if (n % 4096 == 4095) pause_ms(2);
        while ((result = orvix_shm_push(&p, message, size)) == ORVIX_SHM_PUSH_FULL) yield_now();
        if (result == ORVIX_SHM_PUSH_CLOSED && count == 0) break;
        if (result != ORVIX_SHM_PUSH_STORED) return 4;
    }
    orvix_shm_detach(&p);
    return 0;
}
