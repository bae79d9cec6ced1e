#include "cancel.hpp"

namespace morvanta::cancel_detail {

CancelSource*& current() noexcept {
    thread_local CancelSource* s = nullptr;
    return s;
}

const void* thread_marker() noexcept {
    thread_local char marker = 0;
    return &marker;
}

bool slow_check(CancelSource& s) {
    if (!s.poll || s.owner != thread_marker()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < s.next_poll) return false;
    s.next_poll = now + s.interval;
    if (s.poll(s.ctx)) {
        s.cancel();
        return true;
    }
    return false;
}

}  // namespace morvanta::cancel_detail
