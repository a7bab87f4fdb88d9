#include "cancel.hpp"

namespace linora {

namespace {

// Steps of work between two readings of the clock on the installing thread:
// a few thousand pixels or a few rows take some tens of microseconds, so the
// tick is late by little, and the clock (tens of nanoseconds) costs nothing.
constexpr std::size_t kWorkBetweenClockReads = 4096;

// The state the loops of this thread poll, and whether this thread installed
// it (and so runs its tick). Constant-initialised: no guard on access.
struct ThreadCancel {
    CancelState* state;
    bool owner;
};
constinit thread_local ThreadCancel t_cancel{nullptr, false};

using Clock = std::chrono::steady_clock;

} // namespace

CancelScope::CancelScope(CancelState& state) noexcept
    : previous_state_(t_cancel.state), previous_owner_(t_cancel.owner) {
    state.budget_ = kWorkBetweenClockReads;
    state.next_tick_ = Clock::now() + kTickInterval;
    t_cancel = {&state, true};
}

CancelScope::~CancelScope() {
    t_cancel = {static_cast<CancelState*>(previous_state_), previous_owner_};
}

void poll(std::size_t work) {
    CancelState* s = t_cancel.state;
    if (s == nullptr) return;
    if (s->stop_requested()) throw Cancelled();
    if (!t_cancel.owner || s->tick_ == nullptr) return;
    if (s->budget_ > work) {
        s->budget_ -= work;
        return;
    }
    s->budget_ = kWorkBetweenClockReads;
    CancelAccess::tick_if_due(*s);
    if (s->stop_requested()) throw Cancelled();
}

CancelState* CancelAccess::current() noexcept {
    return t_cancel.state;
}

bool CancelAccess::ticks_here(const CancelState* state) noexcept {
    return state != nullptr && t_cancel.state == state && t_cancel.owner && state->tick_ != nullptr;
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
    : previous_state_(t_cancel.state), previous_owner_(t_cancel.owner) {
    t_cancel = {state, false};
}

CancelAccess::Carry::~Carry() {
    t_cancel = {static_cast<CancelState*>(previous_state_), previous_owner_};
}

} // namespace linora
