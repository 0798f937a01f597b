// Writing the boot record file of a -w download. The records go to a new
// temporary file beside the br file, which replaces the br file only once the
// download has succeeded: a failed, cut or interrupted download never leaves
// a br file that looks complete but is not, and an earlier complete one stays.
// The temporary file is created, never opened through a name that exists, so
// a link planted at either name (in a world-writable /tmp) is never followed.
//
// A run killed by SIGKILL (or a power cut) leaves its temporary file behind,
// and nothing would ever remove it. While a run writes its temporary file it
// holds an advisory lock on it, which the kernel drops with the process;
// the next -w run for the same br file removes every file of our temporary
// pattern ("<br>.kovrel-XXXXXX") beside it that is ours, regular, with one
// name, and not locked by a live run.
//
// Built with 64-bit file offsets, the status and directory calls do not fail
// on the 32-bit board for a file whose inode number or size needs 64 bits,
// which would leave the mode unknown and every leftover in place.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kovrel.h"

static_assert(sizeof(off_t) == 8, "64-bit file offsets (_FILE_OFFSET_BITS=64)");

FILE* br_output = nullptr;

namespace {

// The mark is ours alone: "<br>.backup" or "<br>.old123" beside the br file
// are the user's and never taken for a leftover.
constexpr char TEMP_MARK[] = ".kovrel-";
constexpr size_t TEMP_MARK_CHARS = sizeof TEMP_MARK - 1;
constexpr char TEMP_SUFFIX[] = ".kovrel-XXXXXX";  // filled in by mkostemp
constexpr size_t TEMP_RANDOM_CHARS = sizeof TEMP_SUFFIX - sizeof TEMP_MARK;
constexpr mode_t NEW_FILE_MODE = 0666;    // as fopen creates files, before the umask
constexpr mode_t PERMISSION_BITS = 0777;  // set-id and sticky bits are not carried over

// The signals that end kovrel from a console or a service manager; while the
// temporary file exists, each removes it before ending the process as before.
constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
constexpr size_t ENDING_SIGNAL_COUNT = sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0];

char temp_path[BR_FILE_SIZE + sizeof TEMP_SUFFIX];
volatile sig_atomic_t temp_exists = 0;
struct sigaction saved_actions[ENDING_SIGNAL_COUNT];

// Only async-signal-safe calls: the file goes, then the signal takes its
// default course (the handler is reset and the signal raised again, to be
// delivered once the handler returns), so the process still ends by it.
void remove_temp_and_end(int sig) {
  if (temp_exists != 0) unlink(temp_path);
  signal(sig, SIG_DFL);
  raise(sig);
}

sigset_t ending_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : ENDING_SIGNALS) sigaddset(&set, sig);
  return set;
}

// Holds the ending signals back while the temporary file comes or goes, so
// that no signal finds it created but not yet known, or known but renamed.
void ending_signals_block(sigset_t* previous) {
  const sigset_t set = ending_signal_set();
  sigprocmask(SIG_BLOCK, &set, previous);
}

void ending_signals_restore(const sigset_t* previous) {
  sigprocmask(SIG_SETMASK, previous, nullptr);
}

// A signal the process was started to ignore (nohup, a background job) stays
// ignored: it ends nothing, so there is nothing to clean up for it.
void cleanup_handlers_install() {
  struct sigaction action = {};
  action.sa_handler = remove_temp_and_end;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < ENDING_SIGNAL_COUNT; ++i) {
    sigaction(ENDING_SIGNALS[i], nullptr, &saved_actions[i]);
    if (saved_actions[i].sa_handler != SIG_IGN) sigaction(ENDING_SIGNALS[i], &action, nullptr);
  }
}

void cleanup_handlers_remove() {
  for (size_t i = 0; i < ENDING_SIGNAL_COUNT; ++i) {
    sigaction(ENDING_SIGNALS[i], &saved_actions[i], nullptr);
  }
}

// Ends the temporary file's life: renamed over the br file (commit) or
// removed; the handlers go with it. 0, or -1 when the rename failed.
int temp_release(bool commit) {
  sigset_t previous;
  ending_signals_block(&previous);
  int result = 0;
  if (commit && rename(temp_path, job_command.br_file) != 0) result = -1;
  if (!commit || result != 0) unlink(temp_path);
  temp_exists = 0;
  cleanup_handlers_remove();
  ending_signals_restore(&previous);
  return result;
}

// The mode the new br file gets: that of the regular file it replaces, so a
// br file kept read-only or shared with a group stays so; else (no file, or
// a link, whose target is none of ours) the mode a plainly created file has.
mode_t br_file_mode() {
  struct stat status = {};
  if (lstat(job_command.br_file, &status) == 0 && S_ISREG(status.st_mode)) {
    return status.st_mode & PERMISSION_BITS;
  }
  const mode_t mask = umask(0);
  umask(mask);
  return NEW_FILE_MODE & ~mask;
}

// mkostemp fills the X's from these characters only.
bool is_temp_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// True for "<base>.kovrel-XXXXXX" with six characters that mkostemp could
// have chosen.
bool is_temp_name_of(const char* name, const char* base, size_t base_length) {
  if (strncmp(name, base, base_length) != 0 ||
      strncmp(name + base_length, TEMP_MARK, TEMP_MARK_CHARS) != 0) {
    return false;
  }
  const char* random = name + base_length + TEMP_MARK_CHARS;
  for (size_t i = 0; i < TEMP_RANDOM_CHARS; ++i) {
    if (!is_temp_char(random[i])) return false;
  }
  return random[TEMP_RANDOM_CHARS] == '\0';
}

// Removes `name` in `dir` if it is a regular file of ours with no other name
// and no run holds its lock. The name is checked again after the lock was
// had, so that a file put in its place meanwhile is left alone.
void stale_temp_remove(int dir, const char* name) {
  struct stat before = {};
  if (fstatat(dir, name, &before, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(before.st_mode) ||
      before.st_uid != geteuid() || before.st_nlink != 1) {
    return;
  }
  const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat opened = {};
  struct stat now = {};
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 &&
      fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && opened.st_dev == before.st_dev &&
      opened.st_ino == before.st_ino && now.st_dev == before.st_dev &&
      now.st_ino == before.st_ino) {
    (void)unlinkat(dir, name, 0);
  }
  close(fd);
}

// The temporary files that killed runs left beside the br file. Nothing is
// reported: a file that cannot be removed only stays as it was.
void stale_temps_remove() {
  char directory[BR_FILE_SIZE];
  const char* slash = strrchr(job_command.br_file, '/');
  const char* base = slash == nullptr ? job_command.br_file : slash + 1;
  const size_t directory_length =
      slash == nullptr ? 0 : static_cast<size_t>(slash - job_command.br_file);
  const int written = slash == nullptr ? snprintf(directory, sizeof directory, ".")
                      : directory_length == 0
                          ? snprintf(directory, sizeof directory, "/")
                          : snprintf(directory, sizeof directory, "%.*s",
                                     static_cast<int>(directory_length), job_command.br_file);
  if (written < 0 || static_cast<size_t>(written) >= sizeof directory || base[0] == '\0') return;
  DIR* dir = opendir(directory);
  if (dir == nullptr) return;
  const size_t base_length = strlen(base);
  while (const dirent* entry = readdir(dir)) {
    if (is_temp_name_of(entry->d_name, base, base_length)) {
      stale_temp_remove(dirfd(dir), entry->d_name);
    }
  }
  closedir(dir);
}

}  // namespace

int br_output_open() {
  stale_temps_remove();
  int written = snprintf(temp_path, sizeof temp_path, "%s%s", job_command.br_file, TEMP_SUFFIX);
  if (written < 0 || static_cast<size_t>(written) >= sizeof temp_path) {
    log_error("cannot open <%s>\n", job_command.br_file);
    return -1;
  }
  sigset_t previous;
  ending_signals_block(&previous);
  // mkostemp creates the file with O_CREAT | O_EXCL; O_NOFOLLOW refuses a
  // link in its place as well.
  int fd = mkostemp(temp_path, O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    temp_exists = 1;
    cleanup_handlers_install();
    // Marks the file as being written, for the clean-up of another run.
    (void)flock(fd, LOCK_EX | LOCK_NB);
  }
  ending_signals_restore(&previous);
  if (fd < 0) {
    log_error("cannot open <%s>\n", job_command.br_file);
    return -1;
  }
  br_output = fchmod(fd, br_file_mode()) == 0 ? fdopen(fd, "w") : nullptr;
  if (br_output == nullptr) {
    close(fd);
    temp_release(false);
    log_error("cannot open <%s>\n", job_command.br_file);
    return -1;
  }
  return 0;
}

int br_output_commit() {
  // Every record must be on the disk before the file takes the br file's
  // name; a write that failed on the way shows here.
  bool failed = fflush(br_output) != 0 || ferror(br_output) != 0;
  failed = fsync(fileno(br_output)) != 0 || failed;
  failed = fclose(br_output) != 0 || failed;
  br_output = nullptr;
  if (temp_release(!failed) != 0 || failed) {
    log_error("cannot write <%s>\n", job_command.br_file);
    return -1;
  }
  return 0;
}

void br_output_discard() {
  fclose(br_output);
  br_output = nullptr;
  temp_release(false);
}
