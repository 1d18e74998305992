// The measurement files of the latest cycle: tempu.tmp and its copy tempu.csv.
#include <cerrno>
#include <cstdio>
#ifdef _WIN32
#include <windows.h>
#endif

#include "logger/logger.h"
#include "outputs/outputs.h"

FILE* MeasurementFile = nullptr;

namespace {
const char* const TmpFileName = "tempu.tmp";
const char* const CsvFileName = "tempu.csv";
const char* const CsvNewFileName = "tempu.csv.new";
}  // namespace

int OpenMeasurementFile()
{
    CloseMeasurementFile();
    MeasurementFile = std::fopen(TmpFileName, "wb");
    if (!MeasurementFile) {
        LogFileFailure("open", TmpFileName);
        return 0;
    }
    return 1;
}

int CloseMeasurementFile()
{
    if (!MeasurementFile)
        return 0;
    bool failed = std::ferror(MeasurementFile) != 0;
    bool closed = std::fclose(MeasurementFile) == 0;
    MeasurementFile = nullptr;
    if (closed && !failed)
        return 1;
    // The buffered lines reach the file at the close, whose errno is the
    // reason; an error seen before it left no reason behind.
    if (closed)
        errno = EIO;
    LogFileFailure("write", TmpFileName);
    return 0;
}

int WriteStampedHex(const uint8_t* bytes, int length, int flag)
{
    // Seconds and milliseconds from one reading, so the stamp can't straddle a
    // second; the outputs get the same stamp as the line.
    WallTime now = WallClockNow();
    LastReading.stamp = now;
    if (!MeasurementFile)
        return 1;
    std::fprintf(MeasurementFile, "%llu.%03d,", static_cast<unsigned long long>(now.seconds), now.milliseconds);
    for (int i = 0; i < length; ++i)
        std::fprintf(MeasurementFile, "%02X", bytes[i]);
    if (flag)
        std::fputc(',', MeasurementFile);
    return 1;
}

int CopyTmpToCsv()
{
    // The copy is built beside tempu.csv and renamed over it, so a reader never
    // finds tempu.csv empty or half-written.
    FILE* source = std::fopen(TmpFileName, "rb");
    if (!source) {
        LogFileFailure("read", TmpFileName);
    } else {
        FILE* target = std::fopen(CsvNewFileName, "wb");
        if (!target) {
            LogFileFailure("open", CsvNewFileName);
        } else {
            char buffer[4096];
            size_t got;
            bool ok = true;
            while (ok && (got = std::fread(buffer, 1, sizeof buffer, source)) > 0)
                ok = std::fwrite(buffer, 1, got, target) == got;
            ok = ok && !std::ferror(source);
            if (std::fclose(target) != 0 || !ok) {
                LogFileFailure("write", CsvNewFileName);
                std::remove(CsvNewFileName);
#ifdef _WIN32
            // rename does not replace an existing file on Windows.
            } else if (!MoveFileExA(CsvNewFileName, CsvFileName, MOVEFILE_REPLACE_EXISTING)) {
                errno = EACCES;
#else
            } else if (std::rename(CsvNewFileName, CsvFileName) != 0) {
#endif
                LogFileFailure("replace", CsvFileName);
                std::remove(CsvNewFileName);
            }
        }
        std::fclose(source);
    }
    std::printf("\n");
    return 0;
}
