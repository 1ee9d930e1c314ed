/* Runs a function on a stack that is not the calling thread's own, as fiber
   and coroutine libraries do: an anonymous mapping placed above or below the
   thread's stack, entered with swapcontext.  Its lowest page is inaccessible,
   so running off its end is a crash, not a write into whatever lies below. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdint.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

static ucontext_t caller, fiber;
static void (*entry)(void);

static void trampoline(void) { entry(); }

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

/* Calls fn() on a fresh stack of `size` bytes; 0 when it returned, -1 when
   no such stack could be placed. */
int run_on_foreign_stack(size_t size, int above, void (*fn)(void)) {
    char *stack = place(size, above);
    if (!stack) return -1;
    mprotect(stack, (size_t)sysconf(_SC_PAGESIZE), PROT_NONE);
    entry = fn;
    getcontext(&fiber);
    fiber.uc_stack.ss_sp = stack;
    fiber.uc_stack.ss_size = size;
    fiber.uc_link = &caller;
    makecontext(&fiber, trampoline, 0);
    swapcontext(&caller, &fiber);
    munmap(stack, size);
    return 0;
}
