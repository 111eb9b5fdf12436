// Byte strings as JSON fields.
#include "JsonText.h"

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

}  // namespace likeness_cli
