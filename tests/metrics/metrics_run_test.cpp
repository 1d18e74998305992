// Runs of the built temp on software adapters with `metrics` on, real clock,
// checked with the real tools: promtool on every cycle's file, a reader that
// never sees half a file, and node_exporter and Prometheus serving the series.
// Every server listens on 127.0.0.1, on a free port, and is stopped by the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifdef TEMP_HAVE_HISTORY
#include <sqlite3.h>
#endif

#include "tests/logger/blackbox_util.h"
#include "tests/logger/process_run.h"

namespace {

// One sample of the text format: name, labels (values as escaped in the text), value.
struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    std::string value;
};

// The samples of a text-format page; comment lines are skipped.
std::vector<Sample> ParseSamples(const std::string& text)
{
    std::vector<Sample> samples;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        Sample s;
        size_t at = line.find_first_of("{ ");
        s.name = line.substr(0, at);
        if (at != std::string::npos && line[at] == '{') {
            ++at;
            while (at < line.size() && line[at] != '}') {
                size_t equals = line.find('=', at);
                std::string key = line.substr(at, equals - at);
                std::string value;
                at = equals + 2;  // past ="
                while (at < line.size() && line[at] != '"') {
                    if (line[at] == '\\')
                        value += line[at++];
                    value += line[at++];
                }
                s.labels[key] = value;
                at += 1;  // past "
                if (at < line.size() && line[at] == ',')
                    ++at;
            }
            ++at;  // past }
        }
        size_t begin = line.find_first_not_of(' ', at);
        s.value = begin == std::string::npos ? std::string() : line.substr(begin);
        samples.push_back(s);
    }
    return samples;
}

// The samples named `name`, by their serial label (or "" without one).
std::map<std::string, Sample> BySerial(const std::vector<Sample>& samples, const std::string& name,
                                       const std::string& kind = "")
{
    std::map<std::string, Sample> found;
    for (const Sample& s : samples) {
        if (s.name != name)
            continue;
        auto k = s.labels.find("kind");
        if (!kind.empty() && (k == s.labels.end() || k->second != kind))
            continue;
        auto serial = s.labels.find("serial");
        found[serial == s.labels.end() ? std::string() : serial->second] = s;
    }
    return found;
}

std::string Value(const std::vector<Sample>& samples, const std::string& name)
{
    auto found = BySerial(samples, name);
    return found.count("") ? found[""].value : std::string("(none)");
}

// GET http://127.0.0.1:port/path: the body of a 200 answer, else empty.
std::string HttpGet(int port, const std::string& path)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            auto deadline = Clock::now() + std::chrono::seconds(10);
            while (Clock::now() < deadline) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 500) <= 0)
                    continue;
                char chunk[8192];
                ssize_t got = read(fd, chunk, sizeof chunk);
                if (got <= 0)
                    break;
                answer.append(chunk, static_cast<size_t>(got));
            }
        }
    }
    close(fd);
    size_t body = answer.find("\r\n\r\n");
    if (answer.compare(0, 12, "HTTP/1.0 200") != 0 && answer.compare(0, 12, "HTTP/1.1 200") != 0)
        return std::string();
    return body == std::string::npos ? std::string() : answer.substr(body + 4);
}

std::string UrlEncode(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '.' || c == '-') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// Logger runs with promtool, node_exporter and Prometheus beside them.
class MetricsRun : public ProcessRun {
protected:
    // promtool check metrics on the text: its output, empty when it accepts it.
    std::string PromtoolCheck(const std::string& text)
    {
        std::string file = root_ + "/check.prom";
        WriteFile(file, text);
        std::string command = promtool_ + " check metrics < '" + file + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        std::string out;
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, got);
        int status = pclose(pipe);
        if (status != 0 && out.empty())
            out = "promtool failed with status " + std::to_string(status);
        return status == 0 ? std::string() : out;
    }

    // Skips with the reason when a tool of the Debian packages is missing.
    bool HaveTools(std::initializer_list<const char*> names)
    {
        for (const char* name : names)
            if (FindTool(name).empty()) {
                missing_ = std::string(name) + " is not installed (Debian packages prometheus and "
                                               "prometheus-node-exporter; scripts/install-deps.sh installs them)";
                return false;
            }
        promtool_ = FindTool("promtool");
        return true;
    }

    std::string promtool_, missing_;
};

// Three sensors whose table labels need escaping or replacing.
const std::string S1 = FullSerial("10000000000101"), S2 = FullSerial("10000000000102"),
                  S3 = FullSerial("10000000000103");
const std::string Table = S1 + " 7 Hall\"B\"\r\n" + S2 + " 8 C:\\lab\r\n" + S3 + " 9 K\xC3\xBC" "che\xFC\r\n";
const std::map<std::string, std::string> EscapedLabels = {
    {S1, "Hall\\\"B\\\""}, {S2, "C:\\\\lab"}, {S3, "K\xC3\xBC" "che\xEF\xBF\xBD"}};
const std::map<std::string, std::string> Temperatures = {{S1, "21.5"}, {S2, "-10.25"}, {S3, "30.0625"}};
// The PLACE numbers of the table's lines: the `place` label.
const std::map<std::string, std::string> Places = {{S1, "7"}, {S2, "8"}, {S3, "9"}};

std::string Sensors()
{
    return "sensor " + S1 + " 21.5\nsensor " + S2 + " -10.25\nsensor " + S3 + " 30.0625\n";
}

// Every file a reader finds while cycles run with faults is whole and passes
// promtool; there is one for every cycle; a sensor has a temperature exactly
// when its latest reading was good, and keeps its last-good time; the file
// written at the stop says temp_up 0 and has no temperature.
TEST_F(MetricsRun, EveryCyclesFileIsWholeAndPassesPromtool)
{
    if (!HaveTools({"promtool"}))
        GTEST_SKIP() << missing_;
    std::string bus = "clock real\n" + Sensors() + "fault crc " + S2 + " conversion=2\n" + "fault leave " + S3 +
                      " conversions=3-99\n" + "fault unplug conversions=4-5\n" + "fault interrupt conversion=6\n";
    const std::string path = work_ + "/metrics.prom";
    pid_t logger = StartLogger(bus, Table, "metrics = metrics.prom\nmetrics-name = hall \"B\"\nhistory = on\n");

    // The reader: reads the whole file again and again and keeps each new text.
    std::vector<std::string> texts;
    long reads = 0;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::string previous;
        while (!done) {
            FILE* file = std::fopen(path.c_str(), "rb");
            if (!file) {
                std::this_thread::yield();
                continue;
            }
            std::string text;
            char buffer[65536];
            size_t got;
            while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
                text.append(buffer, got);
            std::fclose(file);
            ++reads;
            if (text != previous)
                texts.push_back(text);
            previous = text;
            std::this_thread::yield();
        }
    });
    int status = Wait(logger);
    done = true;
    reader.join();
    std::string closing = ReadFile(path);  // written at the close, maybe after the reader's last look
    if (texts.empty() || closing != texts.back())
        texts.push_back(closing);
    ASSERT_EQ(status, 0) << Tail(root_ + "/temp.out");
    ASSERT_FALSE(texts.empty());

    // The sensors with a temperature after each cycle: S2's read fails its CRC
    // in cycle 2, S3 is gone from cycle 3, nothing is read while unplugged.
    const std::map<std::string, std::set<std::string>> current = {
        {"1", {S1, S2, S3}}, {"2", {S1, S3}}, {"3", {S1, S2}}, {"4", {}}, {"5", {}}, {"6", {S1, S2}}};
    std::set<std::string> cycles;
    std::string lastGoodOfS3;
    bool sawAdapterClosed = false;
    for (const std::string& text : texts) {
        // Whole: ends with the last family's sample and its line end.
        ASSERT_GE(text.size(), 2u);
        ASSERT_EQ(text.back(), '\n') << text;
        ASSERT_EQ(text.rfind("temp_info{"), text.rfind('\n', text.size() - 2) + 1) << text;
        EXPECT_EQ(PromtoolCheck(text), "") << text;
        std::vector<Sample> samples = ParseSamples(text);
        std::string cycle = Value(samples, "temp_cycles_total");
        cycles.insert(cycle);
        for (const Sample& s : samples)
            ASSERT_EQ(s.labels.at("logger"), "hall \\\"B\\\"") << s.name;
        auto temperatures = BySerial(samples, "temp_sensor_temperature_celsius");
        auto lastGood = BySerial(samples, "temp_sensor_last_good_timestamp_seconds");
        bool up = Value(samples, "temp_up") == "1";
        std::set<std::string> withTemperature;
        for (const auto& [serial, sample] : temperatures) {
            withTemperature.insert(serial);
            EXPECT_EQ(sample.value, Temperatures.at(serial)) << serial;
            EXPECT_EQ(sample.labels.at("label"), EscapedLabels.at(serial)) << serial;
            EXPECT_EQ(sample.labels.at("place"), Places.at(serial)) << serial;
        }
        EXPECT_EQ(withTemperature, up ? current.at(cycle) : std::set<std::string>{}) << "cycle " << cycle << "\n"
                                                                                      << text;
        ASSERT_EQ(lastGood.size(), 3u) << text;
        // S3 left after cycle 2: its last-good time stays that of cycle 2.
        if (cycle == "2")
            lastGoodOfS3 = lastGood[S3].value;
        if (std::stoi(cycle) > 2) {
            EXPECT_EQ(lastGood[S3].value, lastGoodOfS3) << "cycle " << cycle;
        }
        if (cycle == "4" && Value(samples, "temp_adapter_open") == "0")
            sawAdapterClosed = true;
        // The recovery counts when a scratchpad comes through the adapter again.
        EXPECT_EQ(Value(samples, "temp_adapter_recoveries_total"), cycle == "6" ? "1" : "0") << "cycle " << cycle;
    }
    EXPECT_EQ(cycles, (std::set<std::string>{"1", "2", "3", "4", "5", "6"})) << texts.size() << " texts in " << reads
                                                                             << " reads";
    EXPECT_TRUE(sawAdapterClosed) << "the unplugged cycle's file says the adapter is not answering";

    std::vector<Sample> last = ParseSamples(texts.back());
    EXPECT_EQ(BySerial(last, "temp_sensor_failed_readings_total", "crc")[S2].value, "1");
    EXPECT_EQ(BySerial(last, "temp_sensor_good_readings_total")[S1].value, "4");  // all but the unplugged cycles
    // S3 failed in cycles 3 to 6, whatever the kind (with other sensors on the
    // bus its selection still finds a presence pulse, and the read gives all
    // ones: counted as no presence, never as a CRC failure).
    EXPECT_EQ(BySerial(last, "temp_sensor_failed_readings_total", "crc")[S3].value, "0");
    int failuresOfS3 = 0;
    for (const Sample& s : last)
        if (s.name == "temp_sensor_failed_readings_total" && s.labels.at("serial") == S3)
            failuresOfS3 += std::stoi(s.value);
    EXPECT_EQ(failuresOfS3, 4);
    // Two unplugged cycles: several failed attempts, one recovery.
    EXPECT_GT(std::stoi(Value(last, "temp_adapter_reinit_attempts_total")), 3);
    EXPECT_EQ(Value(last, "temp_adapter_recoveries_total"), "1");
    EXPECT_EQ(Value(last, "temp_adapter_open"), "0") << "the file written at the close";
    EXPECT_EQ(Value(last, "temp_up"), "0") << "the file written at the close";
    EXPECT_EQ(Value(last, "temp_sensors_listed"), "3");
    struct stat info;
    EXPECT_NE(stat((path + ".tmp").c_str(), &info), 0);

    // The same failed readings in every view: the counters, the event log's
    // entries and the history's rows.
    int failed = 0;
    for (const Sample& s : last)
        if (s.name == "temp_sensor_failed_readings_total")
            failed += std::stoi(s.value);
    std::string log = ReadFile(app_ + "USBerr.txt");
    int entries = 0;
    for (size_t at = log.find("Error reading temperature"); at != std::string::npos;
         at = log.find("Error reading temperature", at + 1))
        ++entries;
    EXPECT_EQ(entries, failed) << log;
#ifdef TEMP_HAVE_HISTORY
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((work_ + "/temp-history.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_busy_timeout(db, 60000);
    sqlite3_stmt* query = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM reading WHERE outcome != 0", -1, &query, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(query, 0), failed) << "failed rows in the history";
    sqlite3_finalize(query);
    sqlite3_close(db);
#endif
}

// The alerting rules with every `for` and range selector in seconds where the
// file says minutes, so that a test sees them fire within seconds.
std::string RulesInSeconds(const std::string& rules)
{
    std::string out = std::regex_replace(rules, std::regex(R"(for: (\d+)m)"), "for: $1s");
    return std::regex_replace(out, std::regex(R"(\[(\d+)m\])"), "[$1s]");
}

// The alert names in an answer of Prometheus's or Alertmanager's alert API.
std::set<std::string> AlertNames(const std::string& json, const std::string& state = "")
{
    std::set<std::string> names;
    std::regex alert(R"re("alertname":"([A-Za-z]+)")re");
    for (std::sregex_iterator it(json.begin(), json.end(), alert), end; it != end; ++it) {
        // Prometheus gives each alert's state after its labels and annotations.
        size_t next = json.find("\"alertname\"", static_cast<size_t>(it->position() + it->length()));
        std::string rest = json.substr(static_cast<size_t>(it->position()),
                                       next == std::string::npos ? std::string::npos : next - it->position());
        if (state.empty() || rest.find("\"state\":\"" + state + "\"") != std::string::npos)
            names.insert((*it)[1]);
    }
    return names;
}

// node_exporter's textfile collector serves each sensor's series while the
// logger runs; a Prometheus scraping it every second has them, with the alert
// rules loaded, and sees the failure counter rise after an injected fault. A
// failing sensor's temperature goes stale; after an orderly stop the logger-
// stopped alert fires and Alertmanager's inhibition leaves it alone; when the
// file vanishes, the scrape-error and absent alerts fire.
TEST_F(MetricsRun, NodeExporterAndPrometheusServeEverySensor)
{
    if (!HaveTools({"promtool", "prometheus-node-exporter", "prometheus"}))
        GTEST_SKIP() << missing_;
    // From cycle 6, S2 reports COUNT_PER_C 0 and S3 is off the bus.
    std::string bus = "clock real\n" + Sensors() + "fault count-per-c-zero " + S2 + " conversions=6-999\n" +
                      "fault leave " + S3 + " conversions=6-999\n";
    // As the service publishes it: a link in the textfile folder to the file
    // that the logger replaces in its own folder.
    std::string textfiles = root_ + "/textfile";
    ASSERT_EQ(mkdir(textfiles.c_str(), 0755), 0);
    ASSERT_EQ(symlink((work_ + "/metrics.prom").c_str(), (textfiles + "/temp-lab.prom").c_str()), 0);

    int exporterPort = FreePort();
    std::string exporterLog = root_ + "/node_exporter.log";
    pid_t exporter = Start({"prometheus-node-exporter", "--web.listen-address=127.0.0.1:" + std::to_string(exporterPort),
                            "--collector.disable-defaults", "--collector.textfile",
                            "--collector.textfile.directory=" + textfiles},
                           FindTool("prometheus-node-exporter"), exporterLog, root_);

    // Alertmanager with the example's inhibition rules, when it is installed.
    std::string alertmanagerTool = FindTool("prometheus-alertmanager");
    int alertmanagerPort = FreePort();
    std::string alertmanagerLog = root_ + "/alertmanager.log";
    pid_t alertmanager = -1;
    if (!alertmanagerTool.empty())
        alertmanager = Start({"prometheus-alertmanager", "--config.file=" TEMP_ALERTMANAGER_CONFIG,
                              "--storage.path=" + root_ + "/alertmanager",
                              "--web.listen-address=127.0.0.1:" + std::to_string(alertmanagerPort),
                              "--cluster.listen-address="},
                             alertmanagerTool, alertmanagerLog, root_);

    // Prometheus, scraping node_exporter every second, with the alert rules
    // loaded (their minutes made seconds).
    int prometheusPort = FreePort();
    std::string rules = root_ + "/temp-alerts.yml";
    WriteFile(rules, RulesInSeconds(ReadFile(TEMP_ALERT_RULES)));
    std::string config = root_ + "/prometheus.yml";
    WriteFile(config, "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                      "rule_files:\n  - " + rules + "\n" +
                          (alertmanager > 0 ? "alerting:\n  alertmanagers:\n    - static_configs:\n"
                                              "        - targets: ['127.0.0.1:" + std::to_string(alertmanagerPort) +
                                                  "']\n"
                                            : std::string()) +
                          "scrape_configs:\n  - job_name: node\n    static_configs:\n      - targets: ['127.0.0.1:" +
                          std::to_string(exporterPort) + "']\n");
    std::string prometheusLog = root_ + "/prometheus.log";
    pid_t prometheus =
        Start({"prometheus", "--config.file=" + config, "--storage.tsdb.path=" + root_ + "/tsdb",
               "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
              FindTool("prometheus"), prometheusLog, root_);
    // The logger last, so that Prometheus starts while it lists its sensors.
    pid_t logger = StartLogger(bus, Table, "metrics = metrics.prom\nmetrics-name = lab\n");

    // The scrape has every sensor's temperature, with the right labels and value.
    std::string page;
    bool served = WaitFor(60, [&] {
        page = HttpGet(exporterPort, "/metrics");
        return BySerial(ParseSamples(page), "temp_sensor_temperature_celsius").size() == 3;
    });
    ASSERT_TRUE(served) << "node_exporter running: " << Running(exporter) << "\n"
                        << Tail(exporterLog) << "\nlast page:\n" << page << "\nlogger:\n" << Tail(root_ + "/temp.out");
    std::vector<Sample> samples = ParseSamples(page);
    for (const auto& [serial, sample] : BySerial(samples, "temp_sensor_temperature_celsius")) {
        EXPECT_EQ(sample.value, Temperatures.at(serial)) << serial;
        EXPECT_EQ(sample.labels.at("label"), EscapedLabels.at(serial)) << serial;
        EXPECT_EQ(sample.labels.at("place"), Places.at(serial)) << serial;
        EXPECT_EQ(sample.labels.at("logger"), "lab") << serial;
    }
    EXPECT_EQ(Value(samples, "node_textfile_scrape_error"), "0") << page;

    auto query = [&](const std::string& promql) {
        return HttpGet(prometheusPort, "/api/v1/query?query=" + UrlEncode(promql));
    };
    // serial -> value of each result of an instant query.
    auto results = [](const std::string& json) {
        std::map<std::string, std::string> found;
        std::regex result(R"re("serial":"([0-9A-F]{16})"[^}]*\},"value":\[[0-9.e+]+,"([^"]+)"\])re");
        for (std::sregex_iterator it(json.begin(), json.end(), result), end; it != end; ++it)
            found[(*it)[1]] = (*it)[2];
        return found;
    };
    const std::string temperatures = "temp_sensor_temperature_celsius{logger=\"lab\",job=\"node\"}";
    std::string answer;
    // Stored before the faults began, even if a slow start saw them only once.
    bool stored = WaitFor(60, [&] {
        answer = query("last_over_time(" + temperatures + "[5m])");
        return results(answer).size() == 3;
    });
    ASSERT_TRUE(stored) << "prometheus running: " << Running(prometheus) << "\n"
                        << Tail(prometheusLog) << "\nlast answer: " << answer;
    EXPECT_EQ(results(answer), Temperatures) << answer;

    // From cycle 6 the count_per_c_zero counter of sensor 2 rises, no other;
    // the temperatures of S2 and S3 go stale, their last-good times stay.
    stored = WaitFor(60, [&] {
        answer = query("temp_sensor_failed_readings_total{kind=\"count_per_c_zero\"} > 0");
        return !results(answer).empty();
    });
    ASSERT_TRUE(stored) << Tail(prometheusLog) << "\nlast answer: " << answer;
    auto failing = results(answer);
    EXPECT_EQ(failing.size(), 1u) << answer;
    EXPECT_EQ(failing.count(S2), 1u) << answer;
    stored = WaitFor(60, [&] {
        answer = query(temperatures);
        return results(answer).size() == 1;
    });
    EXPECT_TRUE(stored) << "failing sensors keep a temperature: " << answer;
    EXPECT_EQ(results(answer).count(S1), 1u) << answer;
    EXPECT_EQ(results(query("temp_sensor_last_good_timestamp_seconds{logger=\"lab\"}")).size(), 3u);

    // Every query of the dashboard runs, with all loggers, a 1-minute rate
    // window and a 1-hour range.
    std::string dashboard = ReadFile(TEMP_DASHBOARD);
    std::regex exprPattern(R"re("expr": "((?:[^"\\]|\\.)*)")re");
    int queries = 0;
    for (std::sregex_iterator it(dashboard.begin(), dashboard.end(), exprPattern), end; it != end; ++it) {
        std::string expr = std::regex_replace((*it)[1].str(), std::regex(R"(\\(.))"), "$1");
        expr = std::regex_replace(expr, std::regex(R"(\$logger)"), ".*");
        expr = std::regex_replace(expr, std::regex(R"(\$__rate_interval)"), "1m");
        expr = std::regex_replace(expr, std::regex(R"(\$__range)"), "1h");
        answer = query(expr);
        EXPECT_NE(answer.find("\"status\":\"success\""), std::string::npos) << expr << "\n" << answer;
        EXPECT_NE(answer.find("\"result\":[{"), std::string::npos) << "no series for " << expr << "\n" << answer;
        ++queries;
    }
    EXPECT_GE(queries, 10);

    // The rules file loaded, every group healthy.
    std::string ruleState = HttpGet(prometheusPort, "/api/v1/rules");
    EXPECT_NE(ruleState.find("\"TempSensorNoGoodReading\""), std::string::npos) << ruleState;
    EXPECT_EQ(ruleState.find("\"health\":\"err"), std::string::npos) << ruleState;

    // An orderly stop: the last file says temp_up 0 and has no temperature;
    // the logger-stopped alert fires.
    EXPECT_EQ(Stop(logger), 0) << Tail(root_ + "/temp.out");
    std::string alerts;
    stored = WaitFor(60, [&] {
        alerts = HttpGet(prometheusPort, "/api/v1/alerts");
        return AlertNames(alerts, "firing").count("TempLoggerStopped") == 1;
    });
    EXPECT_TRUE(stored) << alerts;
    EXPECT_NE(query("temp_up{logger=\"lab\"} == 0").find("\"result\":[{"), std::string::npos);
    EXPECT_TRUE(results(query(temperatures)).empty()) << query(temperatures);
    // Alertmanager: the adapter alert that follows from the stop is inhibited;
    // the stop is the one alert left.
    if (alertmanager > 0) {
        std::string active;
        stored = WaitFor(60, [&] {
            active = HttpGet(alertmanagerPort, "/api/v2/alerts?active=true&inhibited=false&silenced=false");
            alerts = HttpGet(alertmanagerPort, "/api/v2/alerts?active=false&inhibited=true&silenced=false");
            return AlertNames(alerts).count("TempAdapterNotAnswering") == 1;
        });
        EXPECT_TRUE(stored) << "inhibited: " << alerts << "\nactive: " << active << Tail(alertmanagerLog);
        EXPECT_EQ(AlertNames(active), std::set<std::string>{"TempLoggerStopped"}) << active;
    }

    // The file vanishes and the link dangles: node_exporter reports a scrape
    // error, the temp_ series are gone, and both alerts for that fire.
    ASSERT_EQ(unlink((work_ + "/metrics.prom").c_str()), 0);
    stored = WaitFor(60, [&] {
        alerts = HttpGet(prometheusPort, "/api/v1/alerts");
        std::set<std::string> firing = AlertNames(alerts, "firing");
        return firing.count("TempMetricsUnreadable") == 1 && firing.count("TempMetricsAbsent") == 1;
    });
    EXPECT_TRUE(stored) << alerts;
    EXPECT_EQ(Value(ParseSamples(HttpGet(exporterPort, "/metrics")), "node_textfile_scrape_error"), "1");
    if (alertmanager > 0) {
        stored = WaitFor(60, [&] {
            alerts = HttpGet(alertmanagerPort, "/api/v2/alerts?active=false&inhibited=true&silenced=false");
            return AlertNames(alerts).count("TempMetricsAbsent") == 1;
        });
        EXPECT_TRUE(stored) << "inhibited: " << alerts;
        EXPECT_EQ(Stop(alertmanager), 0) << Tail(alertmanagerLog);
    }

    EXPECT_EQ(Stop(prometheus), 0) << Tail(prometheusLog);
    int exporterStatus = Stop(exporter);  // node_exporter ends by the signal itself
    EXPECT_TRUE(exporterStatus == 0 || exporterStatus == -SIGTERM) << exporterStatus << Tail(exporterLog);
}

}  // namespace
