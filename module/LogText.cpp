// Escaping of the arguments of log lines.
// Only bytes below 0x20 and 0x7f are touched; UTF-8 sequences pass through whole.
#include "module/LogText.h"

#include <cstdio>

std::string logText(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            escaped += c;
            continue;
        }
        switch (byte) {
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        case '\t': escaped += "\\t"; break;
        case '\0': escaped += "\\0"; break;
        default: {
            char hex[5];
            std::snprintf(hex, sizeof(hex), "\\x%02x", byte);
            escaped += hex;
        }
        }
    }
    return escaped;
}
