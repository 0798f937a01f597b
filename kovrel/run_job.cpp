// Placeholder: replaced by the job run frame.
#include "kovrel.h"

int run_job() { return -1; }
