#include "detached.hpp"

#include "errors.hpp"
#include "handle.hpp"

#include <pthread.h>

#include <atomic>

namespace linora::py {

namespace {

// The identity of the interpreter's main thread (PyThread_get_thread_ident),
// or 0 while unknown.
std::atomic<unsigned long> g_main_thread{0};

// In a forked child the thread that forked is the only one, and the
// interpreter makes it the main thread: so do we.
void main_thread_after_fork() {
    g_main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
}

bool on_main_thread() {
    const unsigned long main = g_main_thread.load(std::memory_order_relaxed);
    return main != 0 && PyThread_get_thread_ident() == main;
}

} // namespace

int record_main_thread() {
    // Signals are handled by the main interpreter only; a sub-interpreter's
    // import leaves the record alone.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return 0;
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return -1;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return -1;
    Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    static std::atomic<bool> registered{false};
    if (!registered.exchange(true)) pthread_atfork(nullptr, nullptr, main_thread_after_fork);
    g_main_thread.store(value, std::memory_order_relaxed);
    return 0;
}

Detached::Detached() noexcept : main_thread_(on_main_thread()), cancel_(tick, this) {}

Detached::~Detached() {
    // Only reached attached, except when the thread is being ended: then
    // the exception is left alone (a leak at exit).
    decref_if_attached(exception_);
}

void Detached::detach() {
    if (main_thread_) scope_.emplace(cancel_);
    state_ = PyEval_SaveThread();
}

void Detached::attach() {
    PyEval_RestoreThread(state_);
    scope_.reset();
}

// What the tick relies on, with and without the global lock (CPython 3.13,
// Modules/signalmodule.c and Python/ceval_gil.c; the same on both builds):
// - The C-level handler runs on whichever thread the kernel delivered the
//   signal to (a pool worker, another Python thread) and only records it: a
//   flag per signal, the process-wide is_tripped, and the pending-signals
//   bit of the main thread's own eval breaker (the breaker is per thread
//   since 3.13). Nothing is lost by the signal landing elsewhere.
// - PyErr_CheckSignals does nothing on any other thread, and on the main
//   thread consumes is_tripped and the per-signal flags and runs the Python
//   handlers, whatever the eval breaker says. So the tick, on the main
//   thread, sees every signal, however many threads are inside calls; no
//   other thread may run the handlers (and none does: other threads' calls
//   have no tick).
// - Before the signals it runs the garbage collector if this thread's
//   GC-scheduled bit is set. On the free-threaded build that collection
//   stops the world, waiting for the attached threads to reach a safe point
//   (detached ones, inside calls, are no obstacle), and re-attaching also
//   waits while another thread's collection has the world stopped: a tick
//   can take as long as a collection, which stays far below the latency
//   that matters here.
// - A process started with SIGINT ignored keeps it ignored (the interpreter
//   installs its handler only over the default action): such SIGINTs never
//   reach any handler, by design.
void Detached::tick(void* self) {
    auto* d = static_cast<Detached*>(self);
    PyEval_RestoreThread(d->state_);
    if (d->exception_ == nullptr && PyErr_CheckSignals() < 0) {
        d->exception_ = take_raised();
        d->cancel_.request_stop();
    }
    d->state_ = PyEval_SaveThread();
}

} // namespace linora::py
