// What every fuzz target needs to hand its input to a parser the way the
// program meets it: as an open stream, or as a file reached by its path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The input as a read-only stream of exactly its bytes, NUL bytes included;
// null when no stream can be made. The caller closes it with fclose before the
// next call, which reuses the same buffer.
FILE* fuzz_stream(const uint8_t* data, size_t size);

// The path of a file that holds exactly the input's bytes; the same file is
// rewritten on every call. Null when it cannot be written.
const char* fuzz_file(const uint8_t* data, size_t size);

// A property every input must keep: reported and aborted on when broken, so
// that libFuzzer saves the input that broke it.
void fuzz_require(bool holds, const char* property);
