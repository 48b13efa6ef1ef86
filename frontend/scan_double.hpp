#pragma once
// The frequency's number, read without the C library's locale.

namespace oscset::frontend {

// The "%lf" conversion of the C library, independent of the process's locale: skips white
// space and reads the longest prefix of a floating-point number (decimal, hexadecimal,
// infinity or NaN, with a sign). Returns 1 with *value set, 0 when that prefix is not a whole
// number (like "1e", "0x" or "."), or -1 when the text holds nothing but white space.
int scan_double(const char* text, double* value);

}  // namespace oscset::frontend
