// The two string helpers of the feature file's loader.
// Both work on bytes; only the space character counts as white space for trimStr.
#ifndef LIKENESS_MODULE_STRINGUTIL_H
#define LIKENESS_MODULE_STRINGUTIL_H

#include <string>
#include <vector>

// Strips spaces (0x20 only) from both ends of s, in place.
void trimStr(std::string& s);

// Appends to out the non-empty runs of s between characters of seps (a set of separator
// characters, not a delimiter string). out is never cleared.
void splitStr(std::string s, std::vector<std::string>& out, std::string seps);

#endif
