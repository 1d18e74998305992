// The metrics output: after every cycle, the Prometheus text file named by
// `metrics` in temp.conf, written beside itself and renamed over it so that a
// reader (node_exporter's textfile collector) never sees half a file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include "outputs/metrics.h"
#include "outputs/output_settings.h"
#include "outputs/outputs.h"

namespace {

const char* TakeMetrics(const std::string& key, const std::string& value, MetricsSettings* into)
{
    if (key == "metrics")
        return SettingText(value, &into->file) ? nullptr : "a file name";
    if (key == "metrics-name")
        return SettingText(value, &into->name) ? nullptr : "a name";
    return nullptr;
}

const char* const MetricsKeys[] = {"metrics", "metrics-name", nullptr};

int MetricsSetting(const char* key, const char* value, std::string* why)
{
    return JudgeSetting<MetricsSettings>(TakeMetrics, key, value, why);
}

struct MetricsOutputState {
    std::string path;
    std::string building;  // path + ".tmp"
    bool failing = false;  // the latest write failed; logged once
    MetricsState metrics;
};

MetricsOutputState* Output = nullptr;

// Writes the text to `building` and renames it over `path`. On failure, 0 and
// `reason` says which step failed and why.
int ReplaceFile(const std::string& text, std::string* reason)
{
    FILE* file = std::fopen(Output->building.c_str(), "wb");
    if (!file) {
        *reason = "can't open " + Output->building + ": " + std::strerror(errno);
        return 0;
    }
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    // On the disk before the rename: after a power cut the name then holds the
    // old text or the new one, never an empty file.
#ifdef _WIN32
    written = written && _commit(_fileno(file)) == 0;
#else
    written = written && fsync(fileno(file)) == 0;
#endif
    int error = errno;
    if (std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        *reason = "can't write " + Output->building + ": " + std::strerror(error);
        std::remove(Output->building.c_str());
        return 0;
    }
#ifdef _WIN32
    // rename does not replace an existing file on Windows.
    if (!MoveFileExA(Output->building.c_str(), Output->path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        *reason = "can't replace " + Output->path + ": error " + std::to_string(GetLastError());
#else
    if (std::rename(Output->building.c_str(), Output->path.c_str()) != 0) {
        *reason = "can't replace " + Output->path + ": " + std::strerror(errno);
#endif
        std::remove(Output->building.c_str());
        return 0;
    }
    return 1;
}

// Writes the file; a failure is logged when it starts and when it ends.
void WriteMetrics()
{
    std::string reason;
    if (ReplaceFile(MetricsText(Output->metrics), &reason)) {
        if (Output->failing)
            OutputsLogEvent("Metrics file %s written again\n", Output->path.c_str());
        Output->failing = false;
    } else if (!Output->failing) {
        OutputsLogEvent("Metrics file %s not written, %s\n", Output->path.c_str(), reason.c_str());
        Output->failing = true;
    }
}

int OpenMetrics(const TempConfig& config)
{
    MetricsSettings settings = MetricsSettingsOf(config);
    if (settings.file.empty())
        return 0;
    delete Output;
    Output = new MetricsOutputState;
    Output->path = settings.file;
    Output->building = settings.file + ".tmp";
    Output->metrics.logger = settings.name;
    if (Output->metrics.logger.empty()) {
        char* cwd = getcwd(nullptr, 0);
        Output->metrics.logger = cwd ? cwd : ".";
        std::free(cwd);
    }
    return 1;
}

void CycleMetrics(const CycleReport& report)
{
    MetricsUpdate(&Output->metrics, report);
    WriteMetrics();
}

// The last file says the logger has stopped (`temp_up` 0) and the adapter is
// closed, and holds no temperature: nothing measures them any more. Counters
// and last-good times stay.
void CloseMetrics()
{
    if (Output->metrics.haveCycle) {
        MetricsStop(&Output->metrics);
        WriteMetrics();
    }
    delete Output;
    Output = nullptr;
}

}  // namespace

MetricsSettings MetricsSettingsOf(const TempConfig& config)
{
    return SettingsOf<MetricsSettings>(config, TakeMetrics);
}

extern const CycleOutputOps MetricsOutput = {
    "metrics", OpenMetrics, CycleMetrics, CloseMetrics, MetricsKeys, MetricsSetting,
};
