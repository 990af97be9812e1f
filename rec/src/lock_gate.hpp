// The writer's turn at the interpreter's lock (tiderec._capture.LockGate).
//
// While two SDK threads call back flat out, a thread that releases the interpreter's lock and
// asks for it again waits behind them: the lock goes to whichever waiter wakes first, and the
// writer thread, back from compressing or writing a block, got it only 20 to 90 ms later. In a
// burst that wait, not the work, decided how far the writer fell behind and how many callbacks
// were dropped. The gate hands the lock over instead: the writer says it wants the lock just
// before it asks for it (want), and a capture that finds the hand-off long (a burst) and the
// gate wanted releases the lock and waits, for at most `gate_wait`, until the writer has it
// (taken). An SDK thread then waits for the writer about as long as for any other holder of the
// lock, and the writer gets the lock in microseconds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tiderec {

// The longest a capture waits at the gate: the interpreter's switch interval, the wait an SDK
// thread has behind any holder of the lock. Bounds the wait whatever the writer does.
constexpr std::chrono::microseconds gate_wait{5000};

struct GateState {
    std::atomic<bool> wanted{false};
    std::mutex m;
    std::condition_variable cv;

    // The writer is about to ask for the lock (called with or without it).
    void want() { wanted.store(true, std::memory_order_release); }
    // The writer holds the lock: the captures waiting at the gate go on (to wait for the lock).
    void taken() {
        if (!wanted.load(std::memory_order_acquire))
            return;
        {
            std::lock_guard<std::mutex> lock(m);
            wanted.store(false, std::memory_order_release);
        }
        cv.notify_all();
    }
    // Without the lock: waits until the writer has taken it, or for gate_wait.
    void wait() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, gate_wait, [this] { return !wanted.load(std::memory_order_acquire); });
    }
};

// The state of a LockGate object, or nullptr when o is not one (nothing set).
GateState* gate_state(PyObject* o);

// A function's optional gate argument (nullptr when not given): its state, nullptr for None,
// or nullptr with a TypeError set and *bad for anything but a LockGate.
GateState* gate_argument(const char* function, PyObject* gate, bool* bad);

// Adds the LockGate type to `module`; 0, or -1 with an exception set.
int add_lock_gate(PyObject* module);

// The lock released around the calling scope's work, and taken back through the gate (when
// there is one): { ReleasedWithGate r(gate); ...work without the lock... }
class ReleasedWithGate {
public:
    explicit ReleasedWithGate(GateState* gate) : gate_(gate), state_(PyEval_SaveThread()) {}
    ReleasedWithGate(const ReleasedWithGate&) = delete;
    ReleasedWithGate& operator=(const ReleasedWithGate&) = delete;
    ~ReleasedWithGate() {
        if (gate_ != nullptr)
            gate_->want();
        PyEval_RestoreThread(state_);
        if (gate_ != nullptr)
            gate_->taken();
    }

private:
    GateState* gate_;
    PyThreadState* state_;
};

}  // namespace tiderec
