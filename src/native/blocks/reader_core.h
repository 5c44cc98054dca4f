// A read-ahead reader: a thread of its own reads a file descriptor into a
// few slots of one block each, so that the next block is read while the
// caller processes this one, in place in its slot.
//
// The caller takes the slots in order with reader_next; taking one gives
// back the one taken before, which the thread then fills again.  The thread
// sleeps until half the slots are free and then fills them in a row; it
// looks for them itself while it sleeps, so that the caller does not pay to
// wake it except when it has to wait for a slot.  It reads at most limit
// bytes and stops at the end of the file, after a failed read, or at the
// limit.  A descriptor that is not a regular file (a pipe, a socket, a
// terminal) is read only once poll(2) finds it readable, so that a stalled
// writer at its other end never keeps the thread from stopping.
#pragma once

#include <cstddef>
#include <cstdint>

struct reader;

inline constexpr int READER_MAX_SLOTS = 8;
inline constexpr std::size_t READER_SLOT_ALIGN = 64;
inline constexpr int READER_STREAM_POLL_MS = 100;

// A reader of descriptor fd (borrowed: it must stay open until
// reader_destroy; reading starts at its current offset) with slots of
// slot_bytes each; nullptr when the slots or the thread cannot be had.
reader *reader_create(int fd, std::size_t slot_bytes, uint64_t limit, int slots) noexcept;

// Gives back the slot taken before, then waits at most wait_ms milliseconds
// for the next one: 0 with *data and *len set (a slot holds fewer than
// slot_bytes only where the file or the limit ended; *len is 0 after the
// last), 1 when the wait ran out, -errno when the read of the next slot
// failed.
int reader_next(reader *r, uint8_t **data, std::size_t *len, int wait_ms) noexcept;

// Stops the thread after the read in progress, if any, within
// READER_STREAM_POLL_MS for a stream that gives nothing (again: nothing).  The
// slots stay allocated, with what they hold, until reader_destroy; slots
// filled before stay to be taken, and then reader_next gives the end.
void reader_stop(reader *r) noexcept;

// Stops the thread and frees the reader and its slots.
void reader_destroy(reader *r) noexcept;
