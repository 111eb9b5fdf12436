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

}  // namespace likeness_cli

#endif
