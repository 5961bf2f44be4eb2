#include "handover.h"

#include <sched.h>

#if __has_include(<valgrind/helgrind.h>) && __has_include(<valgrind/drd.h>)
#include <valgrind/helgrind.h>
// drd.h redefines the annotation macros of helgrind.h; each tool answers only its own requests.
#include <valgrind/drd.h>
#define HIDE_FROM_VALGRIND(var)                                                                    \
    do {                                                                                           \
        VALGRIND_HG_DISABLE_CHECKING(&(var), sizeof(var));                                         \
        DRD_IGNORE_VAR(var);                                                                       \
    } while (0)
#else
#define HIDE_FROM_VALGRIND(var) ((void)0)
#endif

// What the slots hold until the maker has stored its result.
static char pending_mark;
static void *const handover_pending = &pending_mark;

static void *run_maker(void *arg) {
    handover_t *h = static_cast<handover_t *>(arg);
    void *made[2] = {nullptr, nullptr};
    h->make(h->arg, made);
    switch (h->order) {
    case handover_order_t::none:
        h->made[0].store(made[0], std::memory_order_relaxed);
        h->made[1].store(made[1], std::memory_order_relaxed);
        break;
    case handover_order_t::release_acquire:
        h->objects[0] = made[0];
        h->objects[1] = made[1];
        h->ready.store(true, std::memory_order_release);
        break;
    case handover_order_t::fences:
        h->objects[0] = made[0];
        h->objects[1] = made[1];
        std::atomic_thread_fence(std::memory_order_release);
        h->ready.store(true, std::memory_order_relaxed);
        break;
    }
    return nullptr;
}

int handover_start(handover_t &h, handover_make_fn make, void *arg, handover_order_t order) {
    h.make = make;
    h.arg = arg;
    h.order = order;
    if (order == handover_order_t::none)
        HIDE_FROM_VALGRIND(h.made);
    for (auto &slot : h.made)
        slot.store(handover_pending, std::memory_order_relaxed);
    h.objects[0] = h.objects[1] = nullptr;
    h.ready.store(false, std::memory_order_relaxed);
    return pthread_create(&h.maker, nullptr, run_maker, &h);
}

void *handover_take(handover_t &h, int which) {
    if (h.order == handover_order_t::release_acquire) {
        while (!h.ready.load(std::memory_order_acquire))
            sched_yield();
        return h.objects[which];
    }
    if (h.order == handover_order_t::fences) {
        while (!h.ready.load(std::memory_order_relaxed))
            sched_yield();
        std::atomic_thread_fence(std::memory_order_acquire);
        return h.objects[which];
    }
    // Both slots, since relaxed stores need not become visible in the order they were made.
    while (h.made[0].load(std::memory_order_relaxed) == handover_pending ||
           h.made[1].load(std::memory_order_relaxed) == handover_pending)
        sched_yield();
    return h.made[which].load(std::memory_order_relaxed);
}

void handover_finish(handover_t &h) {
    pthread_join(h.maker, nullptr);
}
