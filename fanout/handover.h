// The hand-over that breaks a library's one-thread rule: a library object is made on a thread
// of its own and handed to the thread that uses it with relaxed atomic stores and loads only,
// so that no happens-before edge orders the library's work on the two threads. The maker
// thread is started before it makes anything (its start orders only what came before) and
// joined only after the object's last use.
#pragma once

#include <atomic>
#include <pthread.h>

// Makes the library objects from `arg` into `made` (one or two of them; nullptr for one that
// could not be made).
using handover_make_fn = void (*)(void *arg, void *made[2]);

struct handover_t {
    pthread_t maker;
    handover_make_fn make;
    void *arg;
    std::atomic<void *> made[2]; // a pending mark until the maker stores what it made
};

// Starts the maker thread; returns pthread_create's status. The hand-over slots are hidden from
// Helgrind and DRD (a relaxed atomic is a plain load and store to them): the race they are to
// see is the library's, not the slots'.
int handover_start(handover_t &h, handover_make_fn make, void *arg);

// Waits, yielding, until the maker has stored both objects, and returns object `which`.
void *handover_take(handover_t &h, int which);

// Waits for the maker thread to end.
void handover_finish(handover_t &h);
