// What the four housekeeping programs decide without touching the board:
// the Panel marker's process ID, the over-current scan of the log, the date
// command of the clock correction and the display contrast level, and how
// they open the files others write. Each program keeps its fixed paths and
// its device steps in its own file.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Opens path read-only without waiting (flags adds e.g. O_NOFOLLOW) and
// keeps it only when it is a regular file; its status goes to info when that
// is not null. The descriptor, or -1: a FIFO, device or directory in the
// file's place counts as no file at all.
int regular_file_open(const char* path, int flags, struct stat* info);
// The same, as a stream; null when there is no regular file to read.
FILE* regular_file_stream(const char* path);

// Reads the Panel's process ID from the marker file: the first word is
// skipped, the second is the decimal ID. Fails (-1) unless the ID is a whole
// number from 2 to INT32_MAX: kill() with 0 or a negative number signals a
// process group or every process, and process 1 is the board's init, which
// may take SIGUSR2 as an order to power off.
int panel_marker_read(FILE* marker, int32_t* panel_pid);

// Reads at most PANEL_MARKER_READ_MAX bytes of the open marker and takes the
// ID from them as panel_marker_read does. From a longer marker only whole
// words count: a number cut off at the bound is no ID, never a shorter one.
int panel_marker_load(int marker, int32_t* panel_pid);

constexpr size_t PANEL_MARKER_READ_MAX = 256;

// Scans the log at path from its first byte. Returns 1 when one of its lines
// contains text, 0 when none does or when there is no regular file to read
// (an unreadable log holds no report; the watcher keeps waiting).
int log_scan(const char* path, const char* text);

// The scan of an open log, read in blocks of block_size bytes. A line end
// ends every line, so a text without one (but for a last byte) lies within a
// line exactly when it lies in the bytes of the file: whole blocks are
// searched, NUL bytes included, and a text across two blocks is found.
int log_scan_stream(int log, const char* text, size_t block_size);

constexpr size_t LOG_SCAN_BLOCK_SIZE = 64 * 1024;

// The hardware clock's seconds plus the pending offset, in 64 bits: seconds
// since the epoch, before it for a negative sum, past 2038 without wrapping.
int64_t clock_corrected_time(uint32_t rtc_seconds, int32_t offset_seconds);

// Formats the date command that sets the system time to the given time,
// broken down in the process's time zone: month, day, hour, minute, full
// year, a point, seconds. Returns -1 when the time is before 1970, cannot be
// broken down or the text does not fit.
int date_command_format(int64_t time_seconds, char* command, size_t size);

// The contrast level stored in the settings file at path: 5 when the file
// cannot be opened, 0 when it has no byte at the contrast offset, and the
// stored byte clamped to 0..15 otherwise.
int32_t contrast_level_load(const char* path);

constexpr int32_t CONTRAST_LEVEL_DEFAULT = 5;  // no settings file
constexpr int32_t CONTRAST_LEVEL_MAX = 15;
constexpr long CONTRAST_SETTINGS_OFFSET = 863;  // 0x35F in the settings file
