// The stack guard: a call from the module into code that may come back into
// it (a key's `value`, get_or_exec's func, a truth test, ...) ends in
// RecursionError where the stack is nearly used up, as the same recursion
// would in Python code, instead of running off the end of the stack.
//
// guarded(body) is the only way to make such a call: body runs only if the
// guard lets it, and otherwise the caller gets body's failure value (null or
// -1) with RecursionError set, so a refusal can't be overlooked.  The rules
// (what it reads and when, and what it does on a stack it can't vouch for)
// are written in stack_guard.cpp.
#pragma once

#include <Python.h>

#include <type_traits>

namespace umbo::compat {

// Guarded calls running on one stack the guard can't vouch for: where the
// outermost of them stands, where the deepest may, and how many there are.
struct StackChain {
    uintptr_t root, deepest, calls;
};

// The calling thread's, in plain zero-initialised TLS: its own stack once
// read (its end and top; on the main thread the stack limit it was read
// under and the lowest end any read gave), the floor above which a call on
// it goes ahead unchecked (the deepest call let through since that read),
// and the counts kept on other stacks.  StackScope reads `floor` and `top`
// inline.
struct StackState {
    uintptr_t end, floor, top, limit, lowest;
    bool main;
    StackChain chains[8];
};
extern __thread StackState stack_state;

// A guarded call's place in its stack's count (null on the thread's own
// stack) and the count's deepest mark before it; where the call stands is
// where this lies.
struct ChainLink {
    StackChain* chain = nullptr;
    uintptr_t deepest_before;
};

// Whether a call standing where `link` lies, below the thread's floor or not
// on its own stack, may go ahead; fills `link` where it joins a count (the
// rules are in stack_guard.cpp), which leave_chain ends.
bool stack_allows_slowly(StackState& s, ChainLink& link);
void leave_chain(const ChainLink& link);

// One guarded call: checks the stack on entry and, on a stack the guard
// can't vouch for, counts itself in that stack's count until it ends.
class StackScope {
public:
    StackScope() {
        StackState& s = stack_state;
        const uintptr_t here = reinterpret_cast<uintptr_t>(&link_);
        if (here >= s.floor && here < s.top) return;  // the thread's own stack, no deeper than before
        if (stack_allows_slowly(s, link_)) return;
        refused_ = true;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    }
    ~StackScope() {
        if (link_.chain) leave_chain(link_);
    }
    StackScope(const StackScope&) = delete;
    StackScope& operator=(const StackScope&) = delete;
    explicit operator bool() const { return !refused_; }

private:
    ChainLink link_;
    bool refused_ = false;  // with RecursionError set
};

// Runs body() under the guard.  kCounted: the call also counts against the
// host's recursion limit, which a Python function's own frame (and a keyword
// name's comparison) already does.
template <bool kCounted = true, class Body>
auto guarded(Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    StackScope scope;
    if (!scope || (kCounted && Py_EnterRecursiveCall(" while calling a Python object") < 0)) {
        if constexpr (std::is_pointer_v<Result>)
            return nullptr;
        else
            return Result(-1);
    }
    Result result = body();
    if (kCounted) Py_LeaveRecursiveCall();
    return result;
}

}  // namespace umbo::compat
