// splashgen: draws the strings of a strings file into the splash image and
// writes the image as a 1024-byte splash file.
#pragma once

#include <cstddef>
#include <cstdio>

// One run of the program: returns 0, or -1 when an argument, a file or a line
// was in error (the exit status 255).
int splashgen_run(int argc, char* argv[]);

// Reads the strings file line by line and draws each line; stops at the first
// line in error, at a read error (printed with the file's name and its
// reason) or at the end of the file. Returns 0 or -1.
int strings_file_draw(FILE* input, const char* name);

// Draws one line 'x y ... "text" ...' of length bytes (line[length] is a NUL,
// as a line reader leaves it). Prints the line's error and returns -1 when it
// has no two leading integers or no quoted text.
int strings_line_draw(const char* line, size_t length);
