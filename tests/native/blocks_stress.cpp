// The background writer and the read-ahead reader on their threads: a
// pseudo-random byte stream is put through the writer in pieces of every
// size (waiting for room), drained, then read back through the reader in
// odd-sized slots, three of them and then seven (the thread sleeping until
// three are free), and checked byte for byte; then the same stream comes
// through a pipe, put by a thread of its own through a writer on the pipe's
// non-blocking end (which its thread waits on when the pipe is full), and
// read by a reader that polls.  Built with ThreadSanitizer in CI, which
// checks every access to the shared ring and slots.
//
// Usage: blocks_stress FILE BYTES
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "blocks/reader_core.h"
#include "blocks/writer_core.h"

namespace {

uint8_t pattern(uint64_t i) { return uint8_t((i * 2654435761u) >> 13); }

int fail(const char *what, unsigned long long at) {
    std::fprintf(stderr, "%s at byte %llu\n", what, at);
    return 1;
}

// Reads total bytes of the pattern back from fd through a reader of slots
// slots; 0 when every byte is right.
int read_back(int fd, int slots, uint64_t limit, uint64_t total) {
    reader *r = reader_create(fd, 12345, limit, slots);
    if (r == nullptr) return fail("reader_create failed", 0);
    uint64_t got = 0;
    int result = -1;
    while (result < 0) {
        uint8_t *data = nullptr;
        std::size_t len = 0;
        int status;
        while ((status = reader_next(r, &data, &len, 1000)) == 1) {
        }
        if (status != 0) {
            result = fail("reader_next failed", got);
        } else if (len == 0) {
            result = got == total ? 0 : fail("short read", got);
        } else {
            for (std::size_t i = 0; i < len && result < 0; i++)
                if (data[i] != pattern(got + i)) result = fail("wrong byte", got + i);
            got += len;
        }
    }
    reader_destroy(r);
    return result;
}

// Puts total bytes of the pattern through w in pieces of every size, waiting
// for room, and drains it; 0 when every call succeeded.
int put_pattern(writer *w, uint64_t total) {
    std::vector<uint8_t> piece(3 * WRITER_MIN_CAPACITY);
    uint64_t state = 88172645463325252ull, pos = 0;
    while (pos < total) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const std::size_t n = std::size_t(std::min<uint64_t>(state % piece.size(), total - pos));
        for (std::size_t i = 0; i < n; i++) piece[i] = pattern(pos + i);
        for (std::size_t taken = 0; taken < n;) {
            const long long k = writer_put(w, piece.data() + taken, n - taken, 10);
            if (k < 0) return fail("writer_put failed", pos + taken);
            taken += std::size_t(k);
        }
        pos += n;
    }
    int status;
    while ((status = writer_drain(w, 1000)) == 1) {
    }
    return status != 0 ? fail("writer_drain failed", pos) : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) return fail("usage: blocks_stress FILE BYTES", 0);
    std::signal(SIGPIPE, SIG_IGN);
    const uint64_t total = std::strtoull(argv[2], nullptr, 10);
    const int fd = open(argv[1], O_CREAT | O_TRUNC | O_RDWR, 0600);
    if (fd < 0) return fail("cannot open the file", 0);

    writer *w = writer_create(fd, WRITER_MIN_CAPACITY);
    if (w == nullptr) return fail("writer_create failed", 0);
    const int put = put_pattern(w, total);
    writer_destroy(w);
    if (put != 0) return 1;

    for (const int slots : {3, 7}) {
        if (lseek(fd, 0, SEEK_SET) != 0) return fail("lseek failed", 0);
        if (read_back(fd, slots, total, total) != 0) return 1;
    }
    close(fd);

    int ends[2];
    if (pipe(ends) != 0 || fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) return fail("pipe failed", 0);
    int fed = -1;
    std::thread feeder([&] {
        writer *pw = writer_create(ends[1], WRITER_MIN_CAPACITY);
        fed = pw == nullptr ? fail("writer_create failed", 0) : put_pattern(pw, total);
        if (pw != nullptr) writer_destroy(pw);
        close(ends[1]);
    });
    const int piped = read_back(ends[0], 5, ~uint64_t(0), total);
    close(ends[0]);  // a feeder still writing (after a failure) gets EPIPE
    feeder.join();
    if (piped != 0 || fed != 0) return 1;
    std::printf("%llu bytes through the writer, back through the reader twice, and through a pipe\n",
                static_cast<unsigned long long>(total));
    return 0;
}
