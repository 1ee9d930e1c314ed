/* Runs a function on a stack that is not the calling thread's own, as fiber
   and coroutine libraries do: an anonymous mapping placed above or below the
   thread's stack, entered with swapcontext.  Its lowest page is inaccessible,
   so running off its end is a crash, not a write into whatever lies below.
   Split in halves, the mapping is two stacks, as a coroutine library's pool
   gives: the function runs on the upper one, and may run another on the
   lower one (run_on_lower_half). */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdint.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

static ucontext_t callers[2], fibers[2];
static void (*entries[2])(void);
static char *lower_half;
static size_t half_size;

static void trampoline(int which) { entries[which](); }

/* A free range of `size` bytes at least 1 MiB above (or below) the thread's
   stack, or NULL. */
static char *place(size_t size, int above) {
    pthread_attr_t attr;
    void *base;
    size_t stack_size;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return NULL;
    pthread_attr_getstack(&attr, &base, &stack_size);
    pthread_attr_destroy(&attr);
    const uintptr_t low = (uintptr_t)base, high = low + stack_size, step = 1 << 20;
    for (uintptr_t i = 1; i < 512; ++i) {
        const uintptr_t want = above ? high + i * step : low - i * step - size;
        char *got = mmap((void *)want, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                         -1, 0);
        if (got == (char *)want) return got;
        if (got != MAP_FAILED) munmap(got, size); /* an old kernel took the address as a hint */
    }
    return NULL;
}

/* Runs fn() on `stack` as fiber `which` (0 or 1) until it returns. */
static void run_on(int which, char *stack, size_t size, void (*fn)(void)) {
    mprotect(stack, (size_t)sysconf(_SC_PAGESIZE), PROT_NONE);
    entries[which] = fn;
    getcontext(&fibers[which]);
    fibers[which].uc_stack.ss_sp = stack;
    fibers[which].uc_stack.ss_size = size;
    fibers[which].uc_link = &callers[which];
    makecontext(&fibers[which], (void (*)(void))trampoline, 1, which);
    swapcontext(&callers[which], &fibers[which]);
}

/* Calls fn() on a fresh stack of `size` bytes, or with `halves` on the upper
   half of it; 0 when it returned, -1 when no such stack could be placed. */
int run_on_foreign_stack(size_t size, int above, int halves, void (*fn)(void)) {
    char *stack = place(size, above);
    if (!stack) return -1;
    half_size = halves ? size / 2 : 0;
    lower_half = stack;
    run_on(0, stack + half_size, size - half_size, fn);
    half_size = 0;
    munmap(stack, size);
    return 0;
}

/* From inside run_on_foreign_stack with halves: calls fn() on the lower
   half; 0 when it returned, -1 outside such a run. */
int run_on_lower_half(void (*fn)(void)) {
    if (!half_size) return -1;
    run_on(1, lower_half, half_size, fn);
    return 0;
}
