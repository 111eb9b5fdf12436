// Byte strings as JSON fields.
#include "JsonText.h"

#include <charconv>

#include "TextEncoding.h"

namespace likeness_cli {

void putText(nlohmann::ordered_json& object, const std::string& name, const std::string& text) {
    if (isValidUtf8(text)) {
        object[name] = text;
    } else {
        object[name] = withInvalidUtf8Replaced(text);
        object[name + "_bytes"] = base64(text);
    }
}

double jsonNumber(float value) {
    char text[32];
    const char* const end = std::to_chars(text, text + sizeof(text), value).ptr;
    double shortest = 0;
    std::from_chars(text, end, shortest);
    return shortest;
}

}  // namespace likeness_cli
