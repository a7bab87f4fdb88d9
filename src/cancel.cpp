#include "cancel.hpp"

#include "core_errors.hpp"
#include "thread_key.hpp"

#include <new>

namespace linora {

namespace {

// Steps of work between two readings of the clock on the installing thread:
// a few thousand pixels or a few rows take some tens of microseconds, so the
// tick is late by little, and the clock (tens of nanoseconds) costs nothing.
constexpr std::size_t kWorkBetweenClockReads = 4096;

// Each thread's innermost ThreadCancel record. Created once, on first use.
const ThreadKey& cancel_key() noexcept {
    static const ThreadKey k;
    return k;
}

const ThreadCancel* current_record() noexcept {
    return static_cast<const ThreadCancel*>(cancel_key().get());
}

bool store_record(const void* record) noexcept {
    return cancel_key().set(record);
}

using Clock = std::chrono::steady_clock;

} // namespace

CancelScope::CancelScope(CancelState& state)
    : record_{&state, true}, previous_(const_cast<ThreadCancel*>(current_record())) {
    if (!cancel_key().created()) throw InternalError("no thread-specific key could be created");
    state.budget_ = kWorkBetweenClockReads;
    state.next_tick_ = Clock::now() + kTickInterval;
    if (!store_record(&record_)) throw std::bad_alloc();
}

CancelScope::~CancelScope() {
    store_record(previous_);
}

void poll(std::size_t work) {
    const ThreadCancel* t = current_record();
    if (t == nullptr) return;
    CancelState* s = t->state;
    if (s == nullptr) return;
    if (s->stop_requested()) throw Cancelled();
    if (!t->owner || s->tick_ == nullptr) return;
    if (s->budget_ > work) {
        s->budget_ -= work;
        return;
    }
    s->budget_ = kWorkBetweenClockReads;
    CancelAccess::tick_if_due(*s);
    if (s->stop_requested()) throw Cancelled();
}

CancelState* CancelAccess::current() noexcept {
    const ThreadCancel* t = current_record();
    return t != nullptr ? t->state : nullptr;
}

bool CancelAccess::ticks_here(const CancelState* state) noexcept {
    const ThreadCancel* t = current_record();
    return state != nullptr && t != nullptr && t->state == state && t->owner &&
           state->tick_ != nullptr;
}

Clock::time_point CancelAccess::tick_if_due(CancelState& state) {
    Clock::time_point now = Clock::now();
    if (now < state.next_tick_) return state.next_tick_;
    if (state.stop_requested()) return state.next_tick_ = now + kTickInterval; // no more ticks
    state.tick_(state.context_);
    // Counted from the end of the tick, so that a slow tick (a signal
    // handler doing work) still leaves the computation most of the time.
    state.next_tick_ = Clock::now() + kTickInterval;
    return state.next_tick_;
}

CancelAccess::Carry::Carry(CancelState* state) noexcept
    : record_{state, false}, previous_(const_cast<ThreadCancel*>(current_record())),
      installed_(store_record(&record_)) {}

CancelAccess::Carry::~Carry() {
    if (installed_) store_record(previous_);
}

} // namespace linora
