// EasyLog: the process-wide logger that writes one dated log file in the working directory.
// Header-only; every line is "[date] [time] [LEVEL    ] message" and is flushed at once.
#ifndef LIKENESS_LOG_EASYLOG_H
#define LIKENESS_LOG_EASYLOG_H

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

// Created by the first GetInstance call, which opens "%Y.%m.%d.log" (the local date) for appending,
// so a second start on the same day keeps the earlier lines. When the file cannot be opened every
// line goes to standard output. Never destroyed by the library; lines are flushed as written, so
// nothing is lost at exit. Lines written from several threads at once come out whole, one after
// another (a host such as the service downloads outside its lock while another thread adds).
//
// Default visibility even inside the library, whose other symbols are hidden: the instance is a
// static of an inline function, and a host that logs too must share the library's instance (one
// file, one start banner) rather than create its own.
class __attribute__((visibility("default"))) EasyLog {
public:
    enum LOG_LEVEL { LOG_TRACE = 0, LOG_DEBUG, LOG_INFO, LOG_WARN, LOG_ERROR, LOG_ALARM, LOG_FATAL };

    static EasyLog* GetInstance() {
        static EasyLog* m_pInstance = new EasyLog();
        return m_pInstance;
    }

    // Writes msg as one line, unchanged, followed by a line feed.
    void WriteLog(std::string msg, LOG_LEVEL level) {
        static const char* const LOG_STRING[] = {"LOG_TRACE", "LOG_DEBUG", "LOG_INFO ", "LOG_WARN ",
                                                 "LOG_ERROR", "LOG_ALARM", "LOG_FATAL"};
        std::ostringstream line;
        line << "[" << formatNow("%Y.%m.%d") << "] [" << formatNow("%H:%M:%S") << "] [" << LOG_STRING[level] << "] "
             << msg << "\n";
        const std::string text = line.str();
        const std::lock_guard<std::mutex> hold(m_writing);
        if (m_logFile.is_open()) {
            m_logFile.write(text.data(), static_cast<std::streamsize>(text.size()));
            m_logFile.flush();
        } else {
            std::cout << text;
        }
    }

    // printf-style: the formatted text is cut to 1022 characters.
    void WriteLog(LOG_LEVEL level, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
        char buffer[1024] = {0};
        va_list args;
        va_start(args, fmt);
        vsnprintf(buffer, sizeof(buffer) - 1, fmt, args);
        va_end(args);
        WriteLog(std::string(buffer), level);
    }

    // The absolute path of the file this logger writes, fixed at creation even past midnight.
    const std::string& FilePath() const { return m_filePath; }

    // The name the log file of a logger created now gets: "%Y.%m.%d.log" of the local date.
    static std::string TodaysFileName() { return formatNow("%Y.%m.%d") + ".log"; }

    virtual ~EasyLog() {
        WriteLog("------------------ LOG SYSTEM END ------------------ ", LOG_INFO);
        if (m_logFile.is_open()) m_logFile.close();
    }

    EasyLog(const EasyLog&) = delete;
    EasyLog& operator=(const EasyLog&) = delete;

private:
    EasyLog() {
        const std::string fileName = TodaysFileName();
        std::error_code ignored;
        m_filePath = std::filesystem::absolute(fileName, ignored).string();
        m_logFile.open(fileName, std::ios::out | std::ios::app);
        WriteLog("------------------ LOG SYSTEM START ------------------\n", LOG_INFO);
    }

    static std::string formatNow(const char* format) {
        char text[11] = {0};
        std::time_t now = std::time(nullptr);
        std::tm local{};
        std::strftime(text, sizeof(text), format, localtime_r(&now, &local));
        return text;
    }

    std::ofstream m_logFile;
    std::string m_filePath;
    std::mutex m_writing;
};

#endif
