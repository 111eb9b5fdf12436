// How a caller's text (a URL, a key, a path) appears inside a log line: control characters are
// escaped, so no argument can end the line early and forge the lines after it.
#ifndef LIKENESS_MODULE_LOGTEXT_H
#define LIKENESS_MODULE_LOGTEXT_H

#include <string>

// text with every control character (0x00-0x1f and 0x7f) written as an escape: \n, \r, \t, \0
// or \xHH. Every other byte, a backslash included, stays as it is.
std::string logText(const std::string& text);

#endif
