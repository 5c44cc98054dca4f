// The timed wait of the block helpers' producer/consumer pairs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Waits on cv until ready() or ms milliseconds have passed (no wait for
// ms <= 0); returns ready().
template <class Ready>
bool wait_ready(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, int ms,
                Ready ready) {
    if (ms <= 0) return ready();
    return cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
}
