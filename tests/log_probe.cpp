// log_probe DIR MODE: starts a fresh logger in DIR and exercises it, for the logger tests, which
// need a process whose logger does not exist yet. Linked against the shared library, as a host is.
#include <unistd.h>

#include <string>

#include "log/EasyLog.h"
#include "module/Module.h"

int main(int argc, char** argv) {
    if (argc != 3 || chdir(argv[1]) != 0) return 2;
    const std::string mode = argv[2];
    EasyLog* log = EasyLog::GetInstance();
    if (mode == "lines") {
        log->WriteLog(EasyLog::LOG_INFO, "succeed in load features !! \n");
        log->WriteLog(EasyLog::LOG_INFO, "no line feed, value=%d", 42);
        for (int level = EasyLog::LOG_TRACE; level <= EasyLog::LOG_FATAL; ++level) {
            log->WriteLog(static_cast<EasyLog::LOG_LEVEL>(level), "level %d", level);
        }
        log->WriteLog(EasyLog::LOG_INFO, "%s", std::string(2000, 'x').c_str());
        log->WriteLog(std::string(1500, 'y'), EasyLog::LOG_WARN);
    } else if (mode == "end") {
        delete log;
    } else if (mode == "host") {
        // A host that logs before and after using a module: one logger serves both.
        log->WriteLog(EasyLog::LOG_INFO, "host before");
        ExitModule(InitialModule(""));
        log->WriteLog(EasyLog::LOG_INFO, "host after");
    } else {
        return 2;
    }
    return 0;
}
