// The read-ahead reader's slots and thread (reader_core.h).
//
// filled counts the slots the thread has filled, taken those handed to the
// caller; slot i % n is the thread's while it is free, the caller's from
// being taken until the next reader_next.  Both counters change under the
// mutex; the reads themselves run outside it.  The slots in use are
// consecutive (the held one, then the filled ones), so the thread's next
// slot is free whenever any is.
#include "blocks/reader_core.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "blocks/wait.h"

namespace {

struct Slot {
    uint8_t *mem = nullptr;
    std::size_t len = 0;
    int err = 0;
    bool free = true;
};

}  // namespace

struct reader {
    int fd = -1;
    std::size_t slot_bytes = 0;
    uint64_t left = 0;  // bytes the thread may still read
    int n = 0;
    int wake = 1;  // free slots that wake a sleeping thread
    Slot slots[READER_MAX_SLOTS];
    uint64_t filled = 0;
    uint64_t taken = 0;
    int held = -1;        // the slot the caller has, or -1
    bool ended = false;   // the thread filled its last slot
    bool stop = false;
    bool stream = false;  // not a regular file: poll before each read
    std::atomic<bool> halt{false};  // stop, for the thread's unlocked reads
    std::mutex mu;
    std::condition_variable room;  // the thread waits for a free slot
    std::condition_variable ready; // the caller waits for a filled one
    std::thread thread;
};

namespace {

// Bytes read into p, up to n: fewer at the end of the file, when a read
// fails (*err set to its errno) or, for a stream, when the reader stops.
std::size_t read_full(reader *r, uint8_t *p, std::size_t n, int *err) noexcept {
    std::size_t got = 0;
    while (got < n) {
        if (r->stream) {
            pollfd pfd{r->fd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, READER_STREAM_POLL_MS);
            if (r->halt.load(std::memory_order_relaxed)) break;
            if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
            // Readable, at its end or failed: the read tells which.
        }
        const ssize_t k = ::read(r->fd, p + got, n - got);
        if (k < 0) {
            if (errno == EINTR || (r->stream && errno == EAGAIN)) continue;
            *err = errno;
            break;
        }
        if (k == 0) break;
        got += std::size_t(k);
    }
    return got;
}

// Slots neither filled and waiting nor held by the caller.
int free_slots(const reader *r) noexcept {
    return r->n - int(r->filled - r->taken) - (r->held >= 0 ? 1 : 0);
}

void reader_run(reader *r) noexcept {
    std::unique_lock<std::mutex> lock(r->mu);
    while (!r->ended) {
        Slot &slot = r->slots[r->filled % uint64_t(r->n)];
        if (!slot.free) poll_until(r->room, lock, [r] { return r->stop || free_slots(r) >= r->wake; });
        if (r->stop) break;
        const std::size_t want = std::size_t(std::min<uint64_t>(r->slot_bytes, r->left));
        lock.unlock();
        int err = 0;
        const std::size_t got = read_full(r, slot.mem, want, &err);
        lock.lock();
        slot.len = got;
        slot.err = err;
        slot.free = false;
        r->left -= got;
        r->filled++;
        r->ended = err != 0 || got < r->slot_bytes || r->left == 0;
        r->ready.notify_one();
    }
}

}  // namespace

reader *reader_create(int fd, std::size_t slot_bytes, uint64_t limit, int slots) noexcept {
    if (fd < 0 || slot_bytes == 0 || slots < 2 || slots > READER_MAX_SLOTS) return nullptr;
    reader *r = new (std::nothrow) reader;
    if (r == nullptr) return nullptr;
    r->fd = fd;
    struct stat st;
    r->stream = ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode);
    r->slot_bytes = slot_bytes;
    r->left = limit;
    r->n = slots;
    r->wake = slots / 2;
    r->ended = limit == 0;
    const std::size_t rounded = (slot_bytes + READER_SLOT_ALIGN - 1) / READER_SLOT_ALIGN * READER_SLOT_ALIGN;
    bool ok = true;
    for (int i = 0; i < slots && ok; i++)
        ok = (r->slots[i].mem = static_cast<uint8_t *>(std::aligned_alloc(READER_SLOT_ALIGN, rounded))) != nullptr;
    if (ok) {
        try {
            r->thread = std::thread(reader_run, r);
            return r;
        } catch (...) {
        }
    }
    for (Slot &s : r->slots) std::free(s.mem);
    delete r;
    return nullptr;
}

int reader_next(reader *r, uint8_t **data, std::size_t *len, int ms) noexcept {
    std::unique_lock<std::mutex> lock(r->mu);
    if (r->held >= 0) {
        r->slots[r->held].free = true;
        r->held = -1;
        // The thread finds the slot by itself; only a caller about to wait
        // wakes it at once (unlocked, so that it does not wake into a held
        // mutex).
        if (r->taken == r->filled) {
            lock.unlock();
            r->room.notify_one();
            lock.lock();
        }
    }
    const bool ok = wait_ready(r->ready, lock, ms, [r] { return r->taken < r->filled || r->ended; });
    if (!ok) return 1;
    if (r->taken == r->filled) {  // every filled slot was taken: the end
        *data = nullptr;
        *len = 0;
        return 0;
    }
    const int i = int(r->taken % uint64_t(r->n));
    r->taken++;
    r->held = i;
    const Slot &slot = r->slots[i];
    *data = slot.mem;
    *len = slot.len;
    return slot.err != 0 ? -slot.err : 0;
}

void reader_stop(reader *r) noexcept {
    {
        std::lock_guard<std::mutex> lock(r->mu);
        r->stop = true;
        r->ended = true;
    }
    r->halt.store(true, std::memory_order_relaxed);
    r->room.notify_one();
    if (r->thread.joinable()) r->thread.join();
}

void reader_destroy(reader *r) noexcept {
    reader_stop(r);
    for (Slot &s : r->slots) std::free(s.mem);
    delete r;
}
