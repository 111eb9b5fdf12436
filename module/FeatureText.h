// The text of one value in the feature file, both ways: written as C's %g with 6 significant
// digits of the value widened to double, read back as strtod reads it and narrowed to float.
#ifndef LIKENESS_MODULE_FEATURETEXT_H
#define LIKENESS_MODULE_FEATURETEXT_H

#include <cstddef>

// The longest text writeValueText produces ("-1.17549e-38" has 12 characters).
inline constexpr std::size_t kMaxValueTextBytes = 16;

// Writes the text of value at out (at most kMaxValueTextBytes characters, no terminator) and
// returns the end of what it wrote. The bytes equal what an output stream in its default
// floating-point format writes for static_cast<double>(value): 0.5, 1.25e-05, -0, nan, -inf.
char* writeValueText(char* out, float value);

// Reads the whole of [begin, end) as one value. False when it is not a number through to its
// end as strtod reads it (so "abc", "0x", "1e" and "." are not), or when a finite text is out of
// the float range ("1e999", "1e39"); the texts of infinities and NaN are numbers. On success
// value is strtod's double narrowed to float.
bool readValueText(const char* begin, const char* end, float& value);

#endif
