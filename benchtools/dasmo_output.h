// The forms in which dasmo writes the received bytes: raw or hexadecimal
// text, bytes or 16-bit words, to the console or to a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum class DasmoDestination { Console, File };

struct DasmoForm {
  bool text;   // hexadecimal text instead of raw bytes
  bool words;  // 16-bit words (word size above 8 bits)
  DasmoDestination destination;
};

// Writes the first n received bytes, and nothing beyond them. In text form
// with words and an odd n, the last word's missing high byte is shown as the
// receive fill 0x3F, since it was never received.
void dasmo_output_write(FILE* out, const uint8_t* rx, size_t n, const DasmoForm& form);
