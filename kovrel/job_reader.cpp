// Placeholder: replaced by the job file reader.
#include "kovrel.h"

JobCommand job_command;
char line[LINE_SIZE];
char token[LINE_SIZE];

JobLine job_read_line(FILE*) { return JobLine::FAILED; }
int token1_decode() { return -1; }
int token2_decode() { return -1; }
int token3_decode() { return -1; }
int token4_decode() { return -1; }
int module_decode() { return -1; }
int (*const token_decoders[5])() = {token1_decode, token2_decode, token3_decode, token4_decode,
                                    log_syntax_error};
