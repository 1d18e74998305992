// Number, time and serial formatting shared by the logger's outputs.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "logger/logger.h"
#include "onewire/driver.h"

std::string FormatFixed3(double value)
{
    if (!std::isfinite(value) || std::fabs(value) > 1e12) {
        char buffer[512];
        std::snprintf(buffer, sizeof buffer, "%.3f", value);
        return buffer;
    }
    // |value| * 1000 rounded half away from zero, worked out in integers from
    // the double's own 53 bits, so a tie is a real tie and every architecture
    // prints the same digits (a long double is only a double on 32-bit ARM,
    // where 1.0005 * 1000 would round to 1000.5).
    int exponent = 0;
    double fraction = std::frexp(std::fabs(value), &exponent);
    uint64_t scaled = static_cast<uint64_t>(std::ldexp(fraction, 53)) * 1000u;  // below 2^63
    int shift = 53 - exponent;  // |value| * 1000 == scaled / 2^shift, shift > 0 below 2^53
    unsigned long long magnitude = 0;
    if (shift < 64) {
        uint64_t below = scaled & ((uint64_t{1} << shift) - 1);
        magnitude = (scaled >> shift) + (below >= (uint64_t{1} << (shift - 1)) ? 1 : 0);
    }
    bool negative = std::signbit(value);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s%llu.%03llu", negative ? "-" : "", magnitude / 1000, magnitude % 1000);
    return buffer;
}

namespace {
const char* const DayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct tm LocalTm(time_t seconds)
{
    struct tm local {};
#ifdef _WIN32
    if (localtime_s(&local, &seconds) != 0)
        std::memset(&local, 0, sizeof local);
#else
    if (!localtime_r(&seconds, &local))
        std::memset(&local, 0, sizeof local);
#endif
    return local;
}

int Wrap(int value, int count) { return ((value % count) + count) % count; }
}  // namespace

std::string FormatEventStamp(WallTime when)
{
    struct tm local = LocalTm(when.seconds);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s %s %02d %02d:%02d:%02d.%03d ", DayNames[Wrap(local.tm_wday, 7)],
                  MonthNames[Wrap(local.tm_mon, 12)], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  when.milliseconds);
    return buffer;
}

std::string FormatLocalDate(time_t seconds)
{
    struct tm local = LocalTm(seconds);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d/%02d/%02d", local.tm_mon + 1, local.tm_mday, Wrap(local.tm_year, 100));
    return buffer;
}

std::string FormatLocalTime(time_t seconds)
{
    struct tm local = LocalTm(seconds);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return buffer;
}

void FormatSerialText(const uint8_t serial[8], char* text)
{
    for (size_t i = 0; i < 8; ++i)
        std::snprintf(text + 2 * i, 3, "%02X", serial[i]);
}

int WriteCrLf(FILE* stream, const char* text, size_t length)
{
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != '\n')
            continue;
        if (std::fwrite(text + start, 1, i - start, stream) != i - start || std::fputs("\r\n", stream) == EOF)
            return 0;
        start = i + 1;
    }
    return std::fwrite(text + start, 1, length - start, stream) == length - start ? 1 : 0;
}

std::string AppDirectoryFrom(const char* argv0)
{
    std::string path = argv0 ? argv0 : "";
#ifdef _WIN32
    size_t cut = path.find_last_of("/\\");
#else
    size_t cut = path.find_last_of('/');
#endif
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

const char* const AdapterFormsLine =
    "An adapter name is \\\\.\\DS2490-N (the N-th DS2490 on USB), sim: (the software adapter) or sim:PATH "
    "(a bus file).\n";

int IsAdapterNameForm(const char* name)
{
    if (name == nullptr || !DriverClaims(name))
        return 0;
    // The USB adapter's backend takes any name with its prefix and refuses a
    // bad number only when it opens; here N must be a number already.
    static const char Prefix[] = "\\\\.\\DS2490-";
    const size_t prefix = sizeof Prefix - 1;
    for (size_t i = 0; i < prefix; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != Prefix[i])
            return 1;  // another backend's name (the string ended at its NUL, or differs)
    if (name[prefix] == '\0')
        return 0;
    for (const char* digit = name + prefix; *digit; ++digit)
        if (*digit < '0' || *digit > '9')
            return 0;
    return 1;
}

std::string AbsolutePath(const std::string& path)
{
#ifdef _WIN32
    if (path.size() >= 2 && (path[1] == ':' || (path[0] == '\\' && path[1] == '\\')))
        return path;
#endif
    if (!path.empty() && path[0] == '/')
        return path;
    std::string rest = path;
    while (rest.compare(0, 2, "./") == 0)
        rest.erase(0, 2);
    char* cwd = getcwd(nullptr, 0);
    if (!cwd)
        return path;
    std::string absolute = cwd;
    std::free(cwd);
    if (absolute.empty() || absolute.back() != '/')
        absolute += '/';
    return absolute + rest;
}
