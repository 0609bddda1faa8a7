/*
 * The wake-up protocols of the ring (orvix/ringq/spsc_ring.hpp, futex.hpp),
 * the C producer of a shared ring (orvix/shm/producer.h: its push is the
 * ring's publish() and wake_if_asleep() written in C, a scenario of its own
 * so that its fence has its own switch), the doorbell
 * (orvix/utils/corvane/dispatchers/doorbell.hpp, reader_step.hpp), the shared
 * ring bridge's waits on it (orvix/batch/shared_ring_bridge.cpp: armed by the
 * reader, released by stop()) and the published wake-up handle
 * (published_handle.hpp), checked by spin
 * under a weak memory model. Run it with tests/model/check (scripts/mutants
 * does, once with the tree as it is and once per mutant).
 *
 * The memory model is the part of C++'s that decides these Dekker pairs
 * (a store, then a load of another location, on each side):
 * - every store, and the write of every read-modify-write, waits in its
 *   thread's buffer (one entry per location) until a flusher moves it to
 *   memory, at any moment; its own thread reads it from the buffer;
 * - a seq_cst load, or the read of a seq_cst read-modify-write, first
 *   flushes its thread's seq_cst writes: two seq_cst operations keep their
 *   order, anything weaker on either side does not;
 * - a full fence flushes its thread's buffer; membarrier flushes every
 *   thread's; a compiler fence flushes nothing; a system call (futex,
 *   send) flushes its thread's buffer.
 * Program order is kept otherwise: no load is read early, which is what a
 * compiler fence on the light side leaves the hardware free to do.
 *
 * Every fence, re-check and seq_cst order that the code has is one switch
 * below, 1 where the code has it. tests/model/check sets each from the tree:
 * 0 when the line that carries it is not there (a mutant took it out).
 * The check explores both kinds of fences (asymmetric: membarrier facing
 * a compiler fence; symmetric: full fences) and every scenario, and fails
 * on a failed assertion or a thread that sleeps for good (an invalid end
 * state).
 */

#ifndef DOORBELL_ARM_FENCE
#define DOORBELL_ARM_FENCE 1
#endif
#ifndef DOORBELL_RING_FENCE
#define DOORBELL_RING_FENCE 1
#endif
#ifndef DOORBELL_LAST_POLL
#define DOORBELL_LAST_POLL 1
#endif
#ifndef WAIT_FENCE
#define WAIT_FENCE 1
#endif
#ifndef WAIT_RECHECK
#define WAIT_RECHECK 1
#endif
#ifndef WAKE_IF_ASLEEP_FENCE
#define WAKE_IF_ASLEEP_FENCE 1
#endif
#ifndef WAKE_PRODUCER_FENCE
#define WAKE_PRODUCER_FENCE 1
#endif
#ifndef HEAVY_FULL_FENCE
#define HEAVY_FULL_FENCE 1
#endif
#ifndef HEAVY_MEMBARRIER
#define HEAVY_MEMBARRIER 1
#endif
#ifndef LIGHT_FULL_FENCE
#define LIGHT_FULL_FENCE 1
#endif
#ifndef CLOSE_STORE_SC
#define CLOSE_STORE_SC 1
#endif
#ifndef INTERRUPT_SC
#define INTERRUPT_SC 1
#endif
#ifndef READER_PRESENT_SC
#define READER_PRESENT_SC 1
#endif
#ifndef WAKE_XCHG_SC
#define WAKE_XCHG_SC 1
#endif
#ifndef MARK_SC
#define MARK_SC 1
#endif
#ifndef USE_LOAD_SC
#define USE_LOAD_SC 1
#endif
#ifndef RETIRE_XCHG_SC
#define RETIRE_XCHG_SC 1
#endif
#ifndef RETIRE_LOAD_SC
#define RETIRE_LOAD_SC 1
#endif
#ifndef C_PUSH_FENCE
#define C_PUSH_FENCE 1
#endif
#ifndef ARM_WAKES_WAITER
#define ARM_WAKES_WAITER 1
#endif
#ifndef BRIDGE_STOP_ARMS
#define BRIDGE_STOP_ARMS 1
#endif

/* Locations. */
#define TAIL 0         /* the ring's write index: 1 once the message is published */
#define ARMED 1        /* the doorbell */
#define CFLAG 2        /* the consumer's sleep flag */
#define PFLAG 3        /* the producer's sleep flag */
#define CLOSED 4
#define HEAD 5         /* the ring's read index: 1 once the room is freed */
#define INTERRUPTED 6  /* the producer session is interrupted */
#define GONE 7         /* reader_present is false */
#define SLOT 8         /* the published handle: 1 published, 0 none */
#define IN_USE 9       /* producers inside use() */
#define STOPPING 10    /* the shared ring bridge is told to stop */
#define NV 11

/* Scenarios: a waiter (thread 0) and the side that must end its wait (thread 1). */
#define DOORBELL 0
#define CONSUMER_PUSH 1
#define CONSUMER_CLOSE 2
#define PRODUCER_POP 3
#define PRODUCER_INTERRUPT 4
#define PRODUCER_READER_LEAVES 5
#define PRODUCER_CLOSE 6
#define HANDLE 7
#define C_PUSH 8        /* the consumer waits; the C producer (orvix/shm/producer.h) pushes */
#define ARM_WAITER 9    /* the bridge thread waits for the doorbell to be armed; the reader arms it */
#define BRIDGE_STOP 10  /* the bridge thread waits for the doorbell; stop() ends the wait */

byte mem[NV];
bool pend[2 * NV];
byte bval[2 * NV];
bool bsc[2 * NV];
bool asym;
byte scenario;
bool sleeping[2];
byte datagrams;
bool resource_closed;

/* Bodies for use inside d_step; `i` is the calling process's own. */
inline flush_body(t, only_sc) {
    i = 0;
    do
    :: i < NV ->
        if
        :: pend[t * NV + i] && (!only_sc || bsc[t * NV + i]) ->
            mem[i] = bval[t * NV + i]; pend[t * NV + i] = 0
        :: else -> skip
        fi;
        i++
    :: else -> i = 0; break
    od;
    skip  /* the loop's exit stays inside the caller's d_step */
}

inline store(t, v, x, sc) {
    d_step {
        bsc[t * NV + v] = sc || (pend[t * NV + v] && bsc[t * NV + v]);
        pend[t * NV + v] = 1;
        bval[t * NV + v] = x
    }
}

inline load(t, v, r, sc) {
    d_step {
        if
        :: sc -> flush_body(t, 1)
        :: else -> skip
        fi;
        r = (pend[t * NV + v] -> bval[t * NV + v] : mem[v])
    }
}

/* A read-modify-write adding `delta` (exchange: `set`, when set_it). */
inline rmw(t, v, old, set_it, x, delta, sc) {
    d_step {
        if
        :: sc -> flush_body(t, 1)
        :: else -> skip
        fi;
        if
        :: pend[t * NV + v] -> mem[v] = bval[t * NV + v]; pend[t * NV + v] = 0
        :: else -> skip
        fi;
        old = mem[v];
        bsc[t * NV + v] = sc;
        pend[t * NV + v] = 1;
        bval[t * NV + v] = (set_it -> x : old + delta)
    }
}

inline full_fence(t) { d_step { flush_body(t, 0) } }

inline heavy_fence(t) {
    if
    :: HEAVY_FULL_FENCE -> full_fence(t)
    :: else -> skip
    fi;
    if
    :: asym && HEAVY_MEMBARRIER -> d_step { flush_body(0, 0); flush_body(1, 0) }
    :: else -> skip
    fi
}

inline light_fence(t) {
    if
    :: !asym && LIGHT_FULL_FENCE -> full_fence(t)
    :: else -> skip
    fi
}

/* futex: the kernel compares the word (after the system call's own flush). */
inline futex_wait(t, v) {
    d_step {
        flush_body(t, 0);
        if
        :: mem[v] == 1 -> sleeping[t] = 1
        :: else -> skip
        fi
    };
    !sleeping[t]
}

inline wake(t, flag) {
    rmw(t, flag, old, 1, 0, 0, WAKE_XCHG_SC);
    if
    :: old -> d_step { flush_body(t, 0); sleeping[0] = 0 }
    :: else -> skip
    fi
}

/* SpscRing::wait_until() past its spin, with the consumer's or the producer's ready(). */
inline ready(r) {
    if
    :: flag == CFLAG -> load(0, TAIL, r, 0)
    :: else ->
        load(0, INTERRUPTED, r, 0);
        if
        :: !r -> load(0, GONE, r, 0)
        :: else -> skip
        fi;
        if
        :: !r -> load(0, HEAD, r, 0)
        :: else -> skip
        fi
    fi
}

proctype waiter(byte flag) {
    byte i, old;
    bool closed, go;
    do
    :: store(0, flag, 1, 0);
        if
        :: WAIT_FENCE -> heavy_fence(0)
        :: else -> skip
        fi;
        load(0, CLOSED, closed, 0);
        go = 0;
        if
        :: !closed && WAIT_RECHECK -> ready(go)
        :: else -> skip
        fi;
        if
        :: !closed && !go -> futex_wait(0, flag)
        :: else -> skip
        fi;
        store(0, flag, 0, 0);
        if
        :: closed -> break
        :: else -> skip
        fi;
        load(0, CLOSED, closed, 0);
        if
        :: closed -> break
        :: else -> skip
        fi;
        if
        :: !go -> ready(go)
        :: else -> skip
        fi;
        if
        :: go -> break
        :: else -> skip
        fi
    od
}

proctype waker() {
    byte i, old, r;
    if
    :: scenario == CONSUMER_PUSH ->  /* publish(): tail, then wake_if_asleep() */
        store(1, TAIL, 1, 0);
        if
        :: WAKE_IF_ASLEEP_FENCE -> light_fence(1)
        :: else -> skip
        fi;
        load(1, CFLAG, r, 0);
        if
        :: r -> wake(1, CFLAG)
        :: else -> skip
        fi
    :: scenario == C_PUSH ->
        /* orvix_shm_push(): the same protocol as publish() + wake_if_asleep(),
         * written again in C: tail; a compiler fence when the consumer's
         * global membarrier stands in for ours (asym), else a full fence;
         * the flag; its exchange; the futex. */
        store(1, TAIL, 1, 0);
        if
        :: C_PUSH_FENCE && !asym -> full_fence(1)
        :: else -> skip
        fi;
        load(1, CFLAG, r, 0);
        if
        :: r ->
            rmw(1, CFLAG, old, 1, 0, 0, 1);  /* seq_cst, but the fence decides */
            if
            :: old -> d_step { flush_body(1, 0); sleeping[0] = 0 }
            :: else -> skip
            fi
        :: else -> skip
        fi
    :: scenario == PRODUCER_POP ->  /* free_slot(): head, then wake_producer() */
        store(1, HEAD, 1, 0);
        if
        :: WAKE_PRODUCER_FENCE -> light_fence(1)
        :: else -> skip
        fi;
        load(1, PFLAG, r, 0);
        if
        :: r -> wake(1, PFLAG)
        :: else -> skip
        fi
    :: scenario == PRODUCER_INTERRUPT ->
        rmw(1, INTERRUPTED, old, 1, 1, 0, INTERRUPT_SC);
        wake(1, PFLAG)
    :: scenario == PRODUCER_READER_LEAVES ->
        store(1, GONE, 1, READER_PRESENT_SC);
        wake(1, PFLAG)
    :: scenario == CONSUMER_CLOSE || scenario == PRODUCER_CLOSE ->
        store(1, CLOSED, 1, CLOSE_STORE_SC);
        wake(1, CFLAG);
        wake(1, PFLAG)
    fi
}

/* The doorbell's reader: poll, arm, poll a last time, wait for a datagram. */
proctype doorbell_reader() {
    byte i, r;
    load(0, TAIL, r, 0);
    if
    :: !r ->
        store(0, ARMED, 1, 0);
        if
        :: DOORBELL_ARM_FENCE -> heavy_fence(0)
        :: else -> skip
        fi;
        if
        :: DOORBELL_LAST_POLL -> load(0, TAIL, r, 0)
        :: else -> skip
        fi;
        if
        :: r -> store(0, ARMED, 0, 0)
        :: else -> d_step { datagrams > 0 -> datagrams-- }
        fi
    :: else -> skip
    fi
}

/* The producer: push, ring(), send a datagram when it disarmed the doorbell. */
proctype doorbell_producer() {
    byte i, old, r;
    store(1, TAIL, 1, 0);
    if
    :: DOORBELL_RING_FENCE -> light_fence(1)
    :: else -> skip
    fi;
    load(1, ARMED, r, 0);
    if
    :: r ->
        rmw(1, ARMED, old, 1, 0, 0, 0);
        if
        :: old -> d_step { flush_body(1, 0); datagrams++ }
        :: else -> skip
        fi
    :: else -> skip
    fi
}

/* PublishedHandle::retire(), then the caller closes what the handle names. */
proctype retirer() {
    byte i, old, r;
    rmw(0, SLOT, old, 1, 0, 0, RETIRE_XCHG_SC);
    do
    :: load(0, IN_USE, r, RETIRE_LOAD_SC);
        if
        :: r == 0 -> break
        :: else -> skip
        fi
    od;
    resource_closed = 1
}

/* PublishedHandle::use(): mark, load the handle, send through it, unmark. */
proctype user() {
    byte i, old, r;
    rmw(1, IN_USE, old, 0, 0, 1, MARK_SC);
    load(1, SLOT, r, USE_LOAD_SC);
    if
    :: r -> assert(!resource_closed)  /* the send */
    :: else -> skip
    fi;
    rmw(1, IN_USE, old, 0, 0, 255, 0)  /* release; 255 adds -1 to a byte */
}

/* futex: sleeps while the word is 0 (Doorbell::wait_until_armed). */
inline futex_wait_unset(t, v) {
    d_step {
        flush_body(t, 0);
        if
        :: mem[v] == 0 -> sleeping[t] = 1
        :: else -> skip
        fi
    };
    !sleeping[t]
}

/* SharedRingBridge::run() while the doorbell is not armed: it looks at
 * stopping_, then at the doorbell, and sleeps on the doorbell's word until
 * it is armed. Its sleep is bounded (250 ms) in the code; here it is not,
 * so a wake-up lost is a thread asleep for good. */
proctype bridge() {
    byte i, r;
    load(0, STOPPING, r, 0);
    if
    :: !r ->
        load(0, ARMED, r, 0);
        if
        :: !r -> futex_wait_unset(0, ARMED)
        :: else -> skip
        fi
    :: else -> skip
    fi
}

/* Doorbell::arm() with an arm waiter: armed, the heavy fence, the wake-up. */
proctype arming_reader() {
    byte i;
    store(1, ARMED, 1, 0);
    if
    :: DOORBELL_ARM_FENCE -> heavy_fence(1)
    :: else -> skip
    fi;
    if
    :: ARM_WAKES_WAITER -> d_step { flush_body(1, 0); sleeping[0] = 0 }
    :: else -> skip
    fi
}

/* SharedRingBridge::stop(): stopping_, then Doorbell::release_arm_waiter():
 * the word the bridge sleeps on set, then the wake-up. A wake-up alone is
 * lost between the bridge's look at stopping_ and its sleep: the kernel
 * compares the word, which nothing had changed. */
proctype stopper() {
    byte i;
    store(1, STOPPING, 1, 1);
    if
    :: BRIDGE_STOP_ARMS -> store(1, ARMED, 1, 0)
    :: else -> skip
    fi;
    d_step { flush_body(1, 0); sleeping[0] = 0 }
}

#define FLUSH_ONE(t, v) :: d_step { pend[t * NV + v] -> mem[v] = bval[t * NV + v]; pend[t * NV + v] = 0 }

proctype flusher(byte t) {
end:
    do
    FLUSH_ONE(t, 0) FLUSH_ONE(t, 1) FLUSH_ONE(t, 2) FLUSH_ONE(t, 3) FLUSH_ONE(t, 4)
    FLUSH_ONE(t, 5) FLUSH_ONE(t, 6) FLUSH_ONE(t, 7) FLUSH_ONE(t, 8) FLUSH_ONE(t, 9)
    FLUSH_ONE(t, 10)
    od
}

init {
    if
    :: asym = 1
    :: asym = 0
    fi;
    if
    :: scenario = DOORBELL
    :: scenario = CONSUMER_PUSH
    :: scenario = CONSUMER_CLOSE
    :: scenario = PRODUCER_POP
    :: scenario = PRODUCER_INTERRUPT
    :: scenario = PRODUCER_READER_LEAVES
    :: scenario = PRODUCER_CLOSE
    :: scenario = HANDLE
    :: scenario = C_PUSH
    :: scenario = ARM_WAITER
    :: scenario = BRIDGE_STOP
    fi;
    atomic {
        mem[SLOT] = 1;
        run flusher(0);
        run flusher(1);
        if
        :: scenario == DOORBELL -> run doorbell_reader(); run doorbell_producer()
        :: scenario == HANDLE -> run retirer(); run user()
        :: scenario == CONSUMER_PUSH || scenario == CONSUMER_CLOSE || scenario == C_PUSH ->
            run waiter(CFLAG); run waker()
        :: scenario == ARM_WAITER -> run bridge(); run arming_reader()
        :: scenario == BRIDGE_STOP -> run bridge(); run stopper()
        :: else -> run waiter(PFLAG); run waker()
        fi
    }
}
