// Input of the streaming readers (object stream, array stream): a reader callback, a FILE* or a
// descriptor, read in blocks. Would-block is reported, not hidden, so that each reader can decide
// between handing it to its caller and waiting for the input.
#ifndef BRINDLE_CORE_STREAM_INPUT_H
#define BRINDLE_CORE_STREAM_INPUT_H

#include <cstdio>

#include "internal.h"

enum : int32_t {
  BRINDLE__INPUT_NONE = 0,
  BRINDLE__INPUT_READER = 1,
  BRINDLE__INPUT_FILE = 2,
  BRINDLE__INPUT_FD = 3
};

struct brindle__stream_input {
  int32_t kind;
  brindle_reader reader;
  void *user;
  FILE *file;
  bool owns_file;  // opened from a path: closed by brindle__stream_input_close
  int fd;
};

enum brindle__input_outcome {
  BRINDLE__READ_DATA = 0,         // *length > 0 bytes placed (*eof_after: nothing follows them)
  BRINDLE__READ_EOF = 1,          // the input ended
  BRINDLE__READ_WOULD_BLOCK = 2,  // nothing available now
  BRINDLE__READ_ERROR = 3         // *system_errno tells why
};

// One read of at most capacity bytes. A reader result with bytes and no flags is data; one with
// nothing at all is asked again. FILE* and descriptors report EAGAIN/EWOULDBLOCK as would-block
// (a FILE*'s error flag is cleared so that it can be read again); EINTR is retried.
brindle__input_outcome brindle__stream_input_read(brindle__stream_input *input, char *buffer,
                                                  size_t capacity, size_t *length, bool *eof_after,
                                                  int *system_errno) noexcept;

// Waits until the FILE* or descriptor has input (or an error or hang-up to report); false when
// waiting is not possible (a reader) or failed.
bool brindle__stream_input_wait(const brindle__stream_input *input) noexcept;

// Closes what the input owns.
void brindle__stream_input_close(brindle__stream_input *input) noexcept;

#endif  // BRINDLE_CORE_STREAM_INPUT_H
