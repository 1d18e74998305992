// The event log "USBerr.txt": stamped entries appended one open at a time,
// each echoed to the console.
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "logger/logger.h"

std::string AppDirectory;
std::string ErrorFilePath = "USBerr.txt";

namespace {
std::string FormatV(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0)
        return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}
}  // namespace

int LogEvent(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string message = FormatV(format, args);
    va_end(args);

    // Seconds and milliseconds come from one clock reading.
    WallTime now = WallClockNow();
    FILE* log = std::fopen(ErrorFilePath.c_str(), "ab");
    if (log) {
        std::string stamp = FormatEventStamp(now);
        bool written = WriteCrLf(log, stamp.data(), stamp.size()) && WriteCrLf(log, message.data(), message.size());
        bool closed = std::fclose(log) == 0;
        if (!written || !closed)
            std::printf("Can't write event log %s: %s\n", ErrorFilePath.c_str(), std::strerror(errno));
    } else {
        std::printf("Can't open event log %s: %s\n", ErrorFilePath.c_str(), std::strerror(errno));
    }
    std::fwrite(message.data(), 1, message.size(), stdout);
    std::fflush(stdout);
    return 0;
}

void LogOutputEvents()
{
    for (const std::string& text : OutputsTakeEvents())
        LogEvent("%s", text.c_str());
}

void LogFileFailure(const char* action, const std::string& path)
{
    std::string reason = std::strerror(errno);
    LogEvent("Can't %s %s: %s\n", action, path.c_str(), reason.c_str());
}
