// The background writer's ring and thread (writer_core.h).
//
// head and tail count bytes since creation: the producer owns the ring
// from head to tail + capacity and advances head; the thread owns tail to
// head and advances tail.  Both change under the mutex; the copies and the
// writes themselves run outside it.  The thread goes to work once half of
// the ring is pending (or on a drain), so a write(2) carries a large piece
// and the two threads rarely meet.  It looks for that itself while it
// sleeps (wait.h): the producer never pays to wake it, except to drain or
// to stop it.
#include "blocks/writer_core.h"

#include "blocks/wait.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include <poll.h>
#include <unistd.h>

struct writer {
    int fd = -1;
    uint8_t *ring = nullptr;
    std::size_t capacity = 0;
    std::size_t batch = 0;  // pending bytes that wake the thread
    uint64_t head = 0;      // bytes put
    uint64_t tail = 0;      // bytes written
    int err = 0;            // errno of the failed write, 0 while none has failed
    bool draining = false;
    bool stop = false;
    std::atomic<bool> halt{false};  // stop, for the thread's unlocked waits on the descriptor
    std::mutex mu;
    std::condition_variable more;  // the thread waits for pending bytes
    std::condition_variable room;  // the producer waits for room or completion
    std::thread thread;
};

namespace {

// 0, the errno of the write that failed, or ECANCELED when the writer
// stopped while a non-blocking descriptor took nothing.
int write_all(writer *w, const uint8_t *p, std::size_t n) noexcept {
    while (n > 0) {
        const ssize_t k = ::write(w->fd, p, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
            pollfd pfd{w->fd, POLLOUT, 0};
            ::poll(&pfd, 1, WRITER_STREAM_POLL_MS);  // writable, closed or failed: write tells
            if (w->halt.load(std::memory_order_relaxed)) return ECANCELED;
            continue;
        }
        if (k == 0) return EIO;
        p += k;
        n -= std::size_t(k);
    }
    return 0;
}

void writer_run(writer *w) noexcept {
    std::unique_lock<std::mutex> lock(w->mu);
    for (;;) {
        poll_until(w->more, lock, [w] {
            const uint64_t pending = w->head - w->tail;
            return w->stop || pending >= w->batch || (w->draining && pending > 0);
        });
        if (w->stop) break;
        const std::size_t at = std::size_t(w->tail % w->capacity);
        const std::size_t len = std::min<std::size_t>(std::size_t(w->head - w->tail), w->capacity - at);
        lock.unlock();
        const int e = write_all(w, w->ring + at, len);
        lock.lock();
        if (e != 0) {
            w->err = e;
            w->room.notify_all();
            break;
        }
        w->tail += len;
        w->room.notify_all();
    }
}

}  // namespace

writer *writer_create(int fd, std::size_t capacity) noexcept {
    if (fd < 0 || capacity < WRITER_MIN_CAPACITY) return nullptr;
    writer *w = new (std::nothrow) writer;
    if (w == nullptr) return nullptr;
    w->fd = fd;
    w->capacity = capacity;
    w->batch = capacity / 2;
    w->ring = static_cast<uint8_t *>(std::malloc(capacity));
    if (w->ring != nullptr) {
        try {
            w->thread = std::thread(writer_run, w);
            return w;
        } catch (...) {
        }
    }
    std::free(w->ring);
    delete w;
    return nullptr;
}

long long writer_put(writer *w, const uint8_t *p, std::size_t n, int ms) noexcept {
    std::unique_lock<std::mutex> lock(w->mu);
    std::size_t taken = 0;
    while (taken < n) {
        const bool ready = wait_ready(w->room, lock, ms, [w] {
            return w->err != 0 || w->head - w->tail < w->capacity;
        });
        if (w->err != 0) return -w->err;
        if (!ready) break;
        // The room from head, up to the end of the ring: the thread does not
        // touch it, so the copy runs unlocked.
        const std::size_t at = std::size_t(w->head % w->capacity);
        const std::size_t free_bytes = w->capacity - std::size_t(w->head - w->tail);
        const std::size_t len = std::min({n - taken, free_bytes, w->capacity - at});
        lock.unlock();
        std::memcpy(w->ring + at, p + taken, len);
        lock.lock();
        w->head += len;  // the thread finds it by itself
        taken += len;
    }
    return static_cast<long long>(taken);
}

int writer_drain(writer *w, int ms) noexcept {
    std::unique_lock<std::mutex> lock(w->mu);
    w->draining = true;
    w->more.notify_one();
    const bool done = wait_ready(w->room, lock, ms, [w] { return w->err != 0 || w->tail == w->head; });
    int status = w->err != 0 ? -w->err : done ? 0 : 1;
    if (status != 1) w->draining = false;
    return status;
}

void writer_destroy(writer *w) noexcept {
    {
        std::lock_guard<std::mutex> lock(w->mu);
        w->stop = true;
    }
    w->halt.store(true, std::memory_order_relaxed);
    w->more.notify_one();
    w->thread.join();
    std::free(w->ring);
    delete w;
}
