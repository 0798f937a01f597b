// Placeholder until boot records are built.
#include "kovrel.h"

int boot_record_write() { return -1; }
int boot_record_read() { return -1; }
