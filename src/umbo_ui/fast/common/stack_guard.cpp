// The stack guard's rules and the per-thread state they keep.
//
// Hosts before 3.14 only count nested calls, against a limit sized for their
// own frames, which deeper native frames (a sanitizer build, a thread with a
// small stack) outrun; from 3.14 on they measure the thread's stack, with
// the bounds read when the thread started, but leave alone any stack that
// isn't the thread's own.  The same rules hold on every host:
//
//  - What it reads: the calling thread's own stack, from glibc
//    (pthread_getattr_np), at the thread's first guarded call.  glibc reads
//    the main thread's from /proc and ends it where the stack limit does,
//    or at a mapping below it, above which the kernel keeps a gap (1 MiB,
//    taken off).  Where that fails (no /proc, no free file descriptor) the
//    main thread's stack is the one below the program name the kernel put
//    at its top (AT_EXECFN), as deep as the stack limit allows.  What can't
//    be read is asked for again at the next guarded call, and never means
//    "no limit".
//  - What it reads again: another thread's stack is fixed once made, but the
//    main thread's grows as far as the stack limit (RLIMIT_STACK) in force
//    when it grows, which the program may change at any time.  A call on the
//    thread's own stack at or above the deepest one let through since the
//    last read goes ahead unchecked; on the main thread any other call below
//    its top (deeper than any so far, refused, or on a stack below it) reads
//    the limit again, and the stack too where the limit changed.  So a
//    lowered limit holds from the first call deeper than any before it, a
//    raised one from the first call the old one refuses.
//  - On the thread's own stack a call is refused below a reserve of a
//    quarter of the stack, at most 256 KiB, above its end; on the main
//    thread also below its end where an earlier, higher limit let it reach.
//  - Any other stack (a fiber's or a coroutine library's, an embedder's, or
//    the thread's own while its bounds can't be read) is one the guard can't
//    vouch for.  There a call is never refused for where it stands, only for
//    how deep it stands in its stack's count: it joins the count of the
//    guarded calls still running whose deepest stands at most 128 KiB above
//    it, and is refused more than 128 KiB below their outermost; any other
//    call starts a count of its own.  A count lasts until the last of its
//    calls ends, in whatever order they end (fibers that switch inside
//    guarded calls end them out of order).  A thread keeps 8 counts at most:
//    a call that would start a ninth is refused.
//
// What it can't vouch for: native code that takes more than the reserve (on
// another stack, 128 KiB) between two guarded calls; a limit lowered below
// where the main thread's stack already stands (the kernel then lets it grow
// no further, which the guard learns at the first call deeper than any
// before); a mapping placed within the main thread's limit after its stack
// was read, or while /proc can't be read, or less than the kernel's gap
// below where the limit ends it; a fiber's stack less than 128 KiB below
// another fiber's running guarded calls (its calls join that count, and may
// be refused early).
//
// The state is per thread, in the default TLS model: a library loaded late
// must not need the static TLS that others may have used up.  Only guarded
// calls read it; the hit paths never do.
#include "common/stack_guard.h"

#include <algorithm>
#include <iterator>

#if defined(__GLIBC__)
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
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

constexpr uintptr_t kKiB = 1024;
// How deep calls may stand below the outermost of their count, on a stack
// the guard can't vouch for.
constexpr uintptr_t kForeignDepth = 128 * kKiB;

// Reads the thread's own stack into `s` when unread, or on the main thread
// again when the stack limit changed since; s.top stays 0 where it can't be
// read now.
void read_own_stack([[maybe_unused]] StackState& s) {
#if defined(__GLIBC__)
    rlimit limit;
    if (getrlimit(RLIMIT_STACK, &limit) != 0) limit.rlim_cur = RLIM_INFINITY;
    if (s.top && limit.rlim_cur == s.limit) return;
    if (!s.top) s.main = getpid() == syscall(SYS_gettid);
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &base, &size) != 0) size = 0;
        pthread_attr_destroy(&attr);
    }
    // glibc ends the main thread's stack at the mapping below it where that
    // comes before the limit does; the kernel keeps a gap (1 MiB unless
    // booted with another stack_guard_gap) above such a mapping.
    const uintptr_t top = getauxval(AT_EXECFN), gap = 1024 * kKiB;
    if (s.main && size > gap && top - reinterpret_cast<uintptr_t>(base) + 16 * kKiB < limit.rlim_cur) {
        base = static_cast<char*>(base) + gap;
        size -= gap;
    }
    // The main thread's, where glibc can't read it from /proc: below the
    // program name at its top, as deep as the stack limit lets it grow.
    if (!size && s.main && limit.rlim_cur < top) {
        size = limit.rlim_cur;
        base = reinterpret_cast<void*>(top - size);
    }
    s.end = size ? reinterpret_cast<uintptr_t>(base) : 0;
    if (size && (!s.lowest || s.end < s.lowest)) s.lowest = s.end;
    s.top = s.floor = s.end + size;  // nothing let through unchecked yet
    s.limit = limit.rlim_cur;
#endif
}

// A call on another stack: joins the count its place gives it, or starts
// one (the rules are above).
bool join_chain(StackState& s, uintptr_t here, ChainLink& link) {
    StackChain* chain = nullptr;
    for (StackChain& c : s.chains) {
        // (of two counts it could join, the one that counts it deeper)
        if (c.calls && here <= c.root && here + kForeignDepth >= c.deepest && (!chain || c.root > chain->root))
            chain = &c;
    }
    if (!chain) {
        chain = std::find_if(std::begin(s.chains), std::end(s.chains), [](const StackChain& c) { return !c.calls; });
        if (chain == std::end(s.chains)) return false;  // a ninth count
        chain->root = chain->deepest = here;
    } else if (chain->root - here > kForeignDepth) {
        return false;
    }
    ++chain->calls;
    link = {chain, chain->deepest};
    chain->deepest = std::min(chain->deepest, here);
    return true;
}

}  // namespace

bool stack_allows_slowly(StackState& s, ChainLink& link) {
    const uintptr_t here = reinterpret_cast<uintptr_t>(&link);
    if (!s.top || (s.main && here < s.top)) read_own_stack(s);
    // (where the main thread's stack could reach before its limit was lowered)
    if (s.lowest <= here && here < s.end) return false;
    if (s.end <= here && here < s.top) {
        if (here < s.end + std::min<uintptr_t>((s.top - s.end) / 4, 256 * kKiB)) return false;
        s.floor = here;
        return true;
    }
    return join_chain(s, here, link);
}

void leave_chain(const ChainLink& link) {
    StackChain& chain = *link.chain;
    // Restored only where no call that began later (on another fiber) has
    // gone deeper since: `deepest` never stands above a call still running.
    if (chain.deepest == reinterpret_cast<uintptr_t>(&link)) chain.deepest = link.deepest_before;
    --chain.calls;
}

}  // namespace umbo::compat
