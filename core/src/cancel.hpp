// Cooperative cancellation of long core calls.
//
// A caller that wants a call to be interruptible installs a CancelSource for the
// duration of the call (CancelScope). Long loops ask `cancelled()` at a coarse
// grain (a row block, a direction, a permutation); once it answers true they stop
// early and the operation returns DriftError::cancelled(), whose partial results
// are never seen. Without a scope `cancelled()` is always false and costs one
// thread-local read.
//
// The source's `poll` callback runs on the thread that installed the scope only,
// and at most once per `interval` (the binding uses it to look at pending
// signals); worker threads of the pool see the same source while they run a
// piece of that call and only read its flag.
#pragma once

#include <atomic>
#include <chrono>

namespace morvanta {

struct CancelSource {
    std::atomic<bool> flag{false};
    // Returns true to cancel. Called on the owner thread only.
    bool (*poll)(void* ctx) = nullptr;
    void* ctx = nullptr;
    std::chrono::steady_clock::duration interval = std::chrono::milliseconds(20);
    std::chrono::steady_clock::time_point next_poll{};
    const void* owner = nullptr;  // the installing thread's scope marker

    void cancel() noexcept { flag.store(true, std::memory_order_relaxed); }
};

namespace cancel_detail {
CancelSource*& current() noexcept;
const void* thread_marker() noexcept;
// Not noexcept: the poll may end the thread by a forced unwind (see cancelled()).
bool slow_check(CancelSource& s);
}  // namespace cancel_detail

// True once the call running on this thread has been asked to stop. On the
// owner thread the poll may take the interpreter lock, and a Python thread still
// running when the interpreter finalizes is ended there by a forced unwind, which
// must pass through (hence no noexcept here or in anything that polls).
inline bool cancelled() {
    CancelSource* s = cancel_detail::current();
    if (!s) return false;
    if (s->flag.load(std::memory_order_relaxed)) return true;
    return cancel_detail::slow_check(*s);
}

// The source of the call running on this thread (nullptr outside a scope); the
// pool hands it to the workers that run pieces of that call.
inline CancelSource* current_cancel_source() noexcept { return cancel_detail::current(); }

// Installs `source` on this thread for the scope's lifetime (nullptr: none).
class CancelScope {
public:
    explicit CancelScope(CancelSource* source, bool owner = true) noexcept : prev_(cancel_detail::current()) {
        if (source && owner) source->owner = cancel_detail::thread_marker();
        cancel_detail::current() = source;
    }
    ~CancelScope() { cancel_detail::current() = prev_; }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    CancelSource* prev_;
};

}  // namespace morvanta
