// Checks shared by the tests that make adds fail on purpose: after each add, the result, the
// feature map, the files on disk and a restarted module must tell the same story.
#ifndef LIKENESS_TESTS_COLLECTIONCHECKS_H
#define LIKENESS_TESTS_COLLECTIONCHECKS_H

#include <memory>
#include <string>
#include <vector>

#include "module/Module.h"

using ModuleHandle = std::unique_ptr<ImplIModule, void (*)(ImplIModule*)>;
ModuleHandle startModule(const std::string& featureFile = "feat.txt");

// Files in dir whose names show an unfinished write beside a key.
std::vector<std::string> leftoverTemporaries(const std::string& dir);

// The add of key happened wholly: key is in the map, its file holds storedBytes, no temporary is
// left beside it, and a module started now loads it.
void expectAddedWholly(const ImplIModule& module, const std::string& key, const std::string& storedBytes);
// The add of key did not happen: key is not in the map, its file holds what it held before (nothing
// when before is empty), no temporary is left beside it, and a module started now does not load it.
void expectNotAdded(const ImplIModule& module, const std::string& key, const std::string& before);

// A PNG header declaring width x height, with a few bytes of data behind it.
std::string pngDeclaring(unsigned width, unsigned height);

#endif
