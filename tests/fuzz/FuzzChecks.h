// The properties the fuzz targets check, shared with the unit tests that replay what the fuzzers
// found (tests/fuzz/regressions/). Each returns an empty string, or what went wrong.
#ifndef LIKENESS_TESTS_FUZZ_FUZZCHECKS_H
#define LIKENESS_TESTS_FUZZ_FUZZCHECKS_H

#include <cstddef>
#include <cstdint>
#include <string>

// Makes, in the working directory, the files that fuzzed records name: plain files, a folder, a
// subfolder's file, links to a file and to a folder, and the query file.
void prepareFuzzFolder();

// For a fuzz target's start: makes a fresh folder under the temporary directory, enters it and
// prepares it. Returns 0.
int enterFuzzFolder();

// For a fuzz target's input: prints the problem, naming the target, and aborts so that libFuzzer
// keeps the input; returns 0 when there is none.
int stopOnProblem(const char* target, const std::string& problem);

// data is a feature file: its first byte chooses the number of values (1 to 4), the rest is the
// text. The loader must load exactly what the reference loader loads, bit for bit.
std::string checkLoaderAgainstReference(const std::uint8_t* data, std::size_t size);

// data is a record's values (4 bytes a float). Its text must be the stream's byte for byte, and
// a load must give back each value as strtod reads its text.
std::string checkRecordRoundTrip(const std::uint8_t* data, std::size_t size);

#endif
