// The hand-over of a library object from a thread that makes it to the thread that uses it. The
// maker thread is started before it makes anything (its start orders only what came before) and
// joined only after the object's last use, so the hand-over itself decides what orders the
// library's work on the two threads:
// - none (the library-rule twins): relaxed atomic stores and loads only, no happens-before edge,
//   so that the library's stores as it makes the object race with its accesses as it is used;
// - release_acquire: the objects in plain slots, published by a release store of a flag that
//   the user reads with acquire loads (race-free; a tool that does not follow atomics misses
//   the edge);
// - fences: the same flag stored and loaded relaxed, between a release fence after the plain
//   stores and an acquire fence before the plain loads (race-free; a tool that does not follow
//   fences misses the edge).
#pragma once

#include "contract.h"

#include <atomic>
#include <pthread.h>

enum class handover_order_t { none, release_acquire, fences };

#ifdef CORPUS_VARIANT
// The order of this target's hand-over.
constexpr handover_order_t variant_handover_order = variant::acquire
                                                        ? handover_order_t::release_acquire
                                                    : variant::fence ? handover_order_t::fences
                                                                     : handover_order_t::none;
#endif

// Makes the library objects from `arg` into `made` (one or two of them; nullptr for one that
// could not be made).
using handover_make_fn = void (*)(void *arg, void *made[2]);

struct handover_t {
    pthread_t maker;
    handover_make_fn make;
    void *arg;
    handover_order_t order;
    std::atomic<void *> made[2]; // order none: a pending mark until the maker stores what it made
    void *objects[2];            // the other orders: what the maker made, once `ready` says so
    std::atomic<bool> ready;
};

// Starts the maker thread; returns pthread_create's status. With order none the hand-over slots
// are hidden from Helgrind and DRD (a relaxed atomic is a plain load and store to them): the
// race they are to see is the library's, not the slots'. With the other orders nothing is
// hidden: the slots and the flag are the construct put to the tools.
int handover_start(handover_t &h, handover_make_fn make, void *arg,
                   handover_order_t order = handover_order_t::none);

// Waits, yielding, until the maker has stored both objects, and returns object `which`.
void *handover_take(handover_t &h, int which);

// Waits for the maker thread to end.
void handover_finish(handover_t &h);
