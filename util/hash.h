#pragma once

#include <cstddef>
#include <string>

// The SHA-256 of the file's bytes as 64 lower-case hexadecimal digits; empty
// when the file cannot be opened or read.
std::string sha256_file(std::string path);

// The bytes as lower-case hexadecimal digits, two for each.
std::string hex_digits(const unsigned char* bytes, std::size_t count);
