// Placeholder: replaced by the console and device I/O routines.
#include "kovrel.h"

void log_error(const char*, ...) {}
int log_syntax_error() { return -1; }
void log_debug(const char*, ...) {}
void log_verbose(const char*, ...) {}
int write_all(const void*, size_t) { return -1; }
int read_all(void*, size_t) { return -1; }
long read_once(void*, size_t) { return -1; }
void close_current_device() {}
