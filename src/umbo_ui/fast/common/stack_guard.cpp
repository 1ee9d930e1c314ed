// The stack guard's rules and the per-thread state they keep.
//
// Hosts before 3.14 only count nested calls, against a limit sized for their
// own frames, which deeper native frames (a sanitizer build, a thread with a
// small stack) outrun; from 3.14 on they measure the thread's stack, but
// leave alone any stack that isn't the thread's own.  The same rules hold on
// every host:
//
//  - What it reads: the calling thread's own stack, from glibc
//    (pthread_getattr_np), at the thread's first guarded call.  glibc reads
//    the main thread's from /proc; where that fails (no /proc, no free file
//    descriptor) the main thread's stack is the one below the program name
//    the kernel put at its top (AT_EXECFN), as deep as the stack limit
//    allows.  Bounds are kept once read; what can't be read is asked for
//    again at the next guarded call, and never means "no limit".
//  - On the thread's own stack a call is refused below a reserve of a
//    quarter of the stack, at most 256 KiB, above its end.
//  - Any other stack (a fiber's or a coroutine library's, an embedder's, or
//    the thread's own while its bounds can't be read) is one the guard can't
//    vouch for.  There a call is never refused for where it stands, only
//    for how deep it stands below the outermost guarded call still running
//    on that stack: more than 128 KiB.  A call more than 512 KiB away from
//    that one is on yet another stack, and starts its own count.
//
// The state is per thread, in the default TLS model: a library loaded late
// must not need the static TLS that others may have used up.  Only guarded
// calls read it; the hit paths never do.
#include "common/stack_guard.h"

#include <algorithm>

#if defined(__GLIBC__)
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
// The stack queries bind to their first versions, which every glibc of the
// architecture has (2.32 and 2.34 added newer ones for the same code), so
// that the module still loads on glibc 2.17 (manylinux2014).  The assembler
// repeats the .symver line for each function the .irp names.
#if defined(__x86_64__)
__asm__(".irp f,pthread_getattr_np,pthread_attr_getstack\n.symver \\f,\\f@GLIBC_2.2.5\n.endr");
#elif defined(__aarch64__)
__asm__(".irp f,pthread_getattr_np,pthread_attr_getstack\n.symver \\f,\\f@GLIBC_2.17\n.endr");
#endif
#endif

namespace umbo::compat {

__thread StackState stack_state;

namespace {

// Reads the thread's own stack into `s`; false where it can't be read now.
bool read_own_stack([[maybe_unused]] StackState& s, [[maybe_unused]] uintptr_t here) {
#if defined(__GLIBC__)
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &base, &size) != 0) size = 0;
        pthread_attr_destroy(&attr);
    }
    // The main thread's, where glibc can't read it from /proc: below the
    // program name at its top, as deep as the stack limit lets it grow.
    const uintptr_t top = getauxval(AT_EXECFN);
    rlimit limit;
    if (!size && top > here && getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        top - here < limit.rlim_cur) {
        size = limit.rlim_cur;
        base = reinterpret_cast<void*>(top - size);
    }
    s.end = size ? reinterpret_cast<uintptr_t>(base) : 0;
    s.floor = s.end + std::min<size_t>(size / 4, 256 * 1024);
    s.top = s.end + size;
    return size != 0;
#else
    return false;
#endif
}

}  // namespace

bool stack_allows_slowly(StackState& s, uintptr_t here) {
    if ((s.top != 0 || read_own_stack(s, here)) && s.end <= here && here < s.top) return here >= s.floor;
    // Another stack: a call above the outermost, or 512 KiB away from it
    // (on yet another stack), counts from where it stands; 128 KiB deep.
    if (s.outermost == 0 || here > s.outermost || s.outermost - here > 512 * 1024) {
        s.outermost = here;
        return true;
    }
    return s.outermost - here <= 128 * 1024;
}

}  // namespace umbo::compat
