// Opening an output file that a technician names, often under /tmp, where
// anyone may create names. Shared by the programs that write such files (the
// bench tools' captures and logs, the splash file).
#pragma once

#include <sys/types.h>

// What an output may be besides a regular file.
enum class OutputKind {
  RegularFile,          // a file only
  RegularFileOrDevice,  // also a character device (a frame buffer, a terminal, /dev/null)
};

// Opens path for writing, creating it (0666 less the umask) when there is no
// such name, truncated to nothing when truncate is set and it is an existing
// regular file. The open never waits: a FIFO with no reader fails (ENXIO),
// one with a reader is refused by its kind, as is anything but the kinds
// allowed (EINVAL); the descriptor returned blocks again as a file does.
//
// In a sticky directory that everyone may write to (/tmp), the rules the
// kernel applies with protected_symlinks and protected_regular hold whether
// or not the kernel applies them, so that a name planted there by another
// user cannot direct the output (of root above all) into a file of theirs or
// one they chose: a symbolic link is followed only when it belongs to this
// user or to the directory's owner (EACCES), and an existing regular file is
// written only when it belongs to one of them and has no other name (EACCES;
// a hard link there may name any file on the file system). The link rule
// holds for the directories on the way as well.
//
// The descriptor, or -1 with errno set.
int output_file_open(const char* path, bool truncate, OutputKind kind);
