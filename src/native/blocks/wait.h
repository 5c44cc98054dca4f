// The timed wait of the block helpers' producer/consumer pairs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// How often a helper thread looks for work while it sleeps.
inline constexpr std::chrono::microseconds POLL_INTERVAL{1000};

// Waits on cv until ready(), looking again every POLL_INTERVAL as well as
// when notified.  The producer that makes ready() true need not notify:
// waking a sleeping thread costs the waker a system call, and on a virtual
// machine an exit to the host, far more than the thread's own timer costs.
template <class Ready>
void poll_until(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, Ready ready) {
    while (!cv.wait_for(lock, POLL_INTERVAL, ready)) {
    }
}

// Waits on cv until ready() or ms milliseconds have passed (no wait for
// ms <= 0); returns ready().
template <class Ready>
bool wait_ready(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, int ms,
                Ready ready) {
    if (ms <= 0) return ready();
    return cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
}
