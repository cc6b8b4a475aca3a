// The spill file of a spooled value: created on the first spill (named in temp_dir, or an
// anonymous temporary file), written only at its end through the stdio buffer, and read at
// explicit offsets, so that reads, appends and cursors never disturb each other's positions.
#ifndef BRINDLE_CORE_SPOOL_FILE_H
#define BRINDLE_CORE_SPOOL_FILE_H

#include "values_internal.h"

// Creates the spill file and sets spilled. Failures (BRINDLE_IO_ERROR, system_errno set):
// "temporary spool path is too long", "failed to create spool file", "failed to open spool file",
// "failed to create anonymous spool file"; the path is cleared on failure.
brindle_status brindle__spool_file_create(brindle_spooled *spooled, brindle_error *error) noexcept;

// Appends at the end of the file: "failed to write spool file".
brindle_status brindle__spool_file_write(brindle_spooled *spooled, const char *bytes, size_t length,
                                         brindle_error *error) noexcept;

// Makes every appended byte readable at an offset: 0, or the errno of the failed write.
int brindle__spool_file_flush(brindle_spooled *spooled) noexcept;

// Reads up to capacity bytes at offset (call brindle__spool_file_flush first): the bytes read,
// or -1 with errno set. Reading past the data that should be there is a failure (EIO).
long brindle__spool_file_read_at(brindle_spooled *spooled, size_t offset, char *buffer,
                                 size_t capacity) noexcept;

// Closes the file and removes a named one from disk.
void brindle__spool_file_close(brindle_spooled *spooled) noexcept;

#endif  // BRINDLE_CORE_SPOOL_FILE_H
