// The key rule, and the refusal of unsafe keys through the rules of module/KeyRules.h.
#include "module/KeySafety.h"

#include "module/KeyRules.h"

std::string makeKey(const std::string& source, const std::string& saveDir) {
    const std::string::size_type slash = source.rfind('/');
    return saveDir + (slash == std::string::npos ? source : source.substr(slash + 1));
}

std::string unsafeKeyReason(const std::string& key, const std::string& dbPath, const std::string& logPath) {
    return KeyRules(dbPath, logPath).reason(key);
}
