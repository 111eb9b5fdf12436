// Byte strings in JSON: keys and paths are bytes, JSON text must be UTF-8, so a string that is
// not keeps its exact bytes beside it.
#ifndef LIKENESS_HOST_JSONTEXT_H
#define LIKENESS_HOST_JSONTEXT_H

#include <string>

#include <nlohmann/json.hpp>

namespace likeness_cli {

// Sets object[name] to text; when text is not valid UTF-8, to text with its invalid bytes
// replaced, and object[name + "_bytes"] to its exact bytes in base64.
void putText(nlohmann::ordered_json& object, const std::string& name, const std::string& text);

// A float as the double JSON should print: the one its shortest decimal form reads as, so that
// 100.3f prints as 100.3 rather than as the 17 digits of its exact value, 100.30000305175781.
double jsonNumber(float value);

}  // namespace likeness_cli

#endif
