// A background writer: blocks handed to it are copied into a ring and
// written to a file descriptor by a thread of its own, so that the copy into
// the operating system's page cache overlaps the caller's processing of the
// next block.
//
// One producer thread calls writer_put / writer_drain; the writer's thread
// is the only one that calls write(2).  Bytes reach the descriptor in the
// order they were put.  The first failed write stops the writer: its errno
// is returned by every later call, and nothing more is written.
//
// A descriptor opened non-blocking (a pipe whose reader may stall) is
// written as far as it takes and then waited on with poll(2), at most
// WRITER_STREAM_POLL_MS at a time, so that writer_destroy ends the thread
// within that time however long the reader takes nothing.
#pragma once

#include <cstddef>
#include <cstdint>

struct writer;

inline constexpr std::size_t WRITER_MIN_CAPACITY = 1 << 16;
inline constexpr int WRITER_STREAM_POLL_MS = 100;

// A writer of descriptor fd (borrowed: it must stay open until
// writer_destroy) with a ring of capacity bytes; nullptr when the ring or
// the thread cannot be had.
writer *writer_create(int fd, std::size_t capacity) noexcept;

// Copies up to n bytes of p into the ring, waiting at most wait_ms
// milliseconds for room.  Returns the number of bytes taken (fewer than n
// when the wait ran out), or -errno once a write has failed.
long long writer_put(writer *w, const uint8_t *p, std::size_t n, int wait_ms) noexcept;

// Waits at most wait_ms milliseconds for every byte put to be written:
// 0 when it is, 1 when some are still pending, -errno once a write has failed.
int writer_drain(writer *w, int wait_ms) noexcept;

// Stops the thread after the write(2) in progress, if any (or its wait for a
// non-blocking descriptor), dropping what was not written yet, and frees
// the writer.
void writer_destroy(writer *w) noexcept;
