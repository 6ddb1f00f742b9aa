#pragma once

#include <cstdint>
#include <string>

// Appends one 80-character header card whose value text ends in column 30.
void writeIntegerCard(std::string& out, const char* keyword, std::int32_t value);
void writeCharacterCard(std::string& out, const char* keyword, char value);

// Writes channel (0 blue, 1 green, 2 red) of settings.compositeSums as a 16-bit FITS
// image, bottom row first. Prints nothing unless the file cannot be written, in which
// case it says so, leaves no partial file and returns false.
bool writeFitsChannel(const char* path, int channel);
