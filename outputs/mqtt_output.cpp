// The MQTT output: after every cycle, each sensor's reading as a retained
// JSON state on <topic>/<serial>/state, the logger's presence on
// <topic>/status (with "offline" as the will), and Home Assistant discovery.
// The connection has a network thread of its own that runs libmosquitto's
// loop and connects again after a growing, capped delay (libmosquitto's own
// thread gives up when the first attempt fails at once or a name lookup
// fails). The output's thread hands messages over only while connected, so an
// absent broker costs the cycle nothing and queues nothing. After every
// (re)connection the status, the discovery and the latest states are
// published once.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <map>
#include <memory>
#include <mosquitto.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "outputs/metrics.h"
#include "outputs/mqtt_payload.h"
#include "outputs/output_settings.h"
#include "outputs/outputs.h"

namespace {

using Clock = std::chrono::steady_clock;

// A connection that stays down this long is a problem worth an entry; a
// broker that restarts within it is not.
constexpr auto Grace = std::chrono::seconds(5);
constexpr int KeepAliveSeconds = 30;
constexpr int ReconnectFirstSeconds = 1, ReconnectMostSeconds = 30;

struct MqttOutputState {
    std::string shown;  // the URL as in temp.conf, for entries
    MqttUrl url;
    std::string topic;
    std::string status;
    MqttDiscoverySettings discovery;
    std::string username, password, caFile;
    mosquitto* client = nullptr;
    std::thread network;

    // Shared with the network thread's callbacks.
    std::mutex lock;
    std::condition_variable wake;          // the network thread's waits between attempts
    std::condition_variable acknowledged;  // a QoS 1 message taken by the broker
    Clock::time_point downSince;           // not connected since
    std::unique_ptr<CycleReport> latest;
    std::map<std::string, MqttCounts> counts;
    // Sensors temp.pd knew at the start that the listing did not find, and
    // the first cycle's start: their "absent" states, published on every
    // connection so a later subscriber never sees their old value as current.
    std::vector<std::string> absent;
    WallTime absentSince{};
    int refused = 0;           // CONNACK code of the latest refused login
    MqttTlsProblem tls = MqttTlsProblem::None;  // of the latest attempt
    bool hungUp = false;       // the latest attempt's connection closed before the broker's answer
    int lastAcknowledged = 0;  // message id of the latest QoS 1 message the broker took
    bool connected = false;
    bool problemLogged = false;
    bool stopping = false;

    bool discoveryOn = false;
    bool started = false;  // the network thread runs: only the output's thread touches this
};

MqttOutputState* Output = nullptr;

// Returns the message id.
int Publish(const std::string& topic, const std::string& payload, int qos)
{
    int id = 0;
    mosquitto_publish(Output->client, &id, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, true);
    return id;
}

// Every sensor's state of the latest report. Holds the lock.
void PublishStates()
{
    const CycleReport& report = *Output->latest;
    for (int i = 0; i < report.count && i < SENSOR_SLOTS; ++i) {
        const SensorReading& reading = report.readings[i];
        Publish(MqttStateTopic(Output->topic, reading),
                MqttStatePayload(reading, Output->counts[reading.serialText]), 0);
    }
    Publish(MqttCycleTopic(Output->topic), MqttCyclePayload(report), 0);
}

// Holds the lock.
void PublishAbsent()
{
    for (const std::string& serial : Output->absent)
        Publish(Output->topic + "/" + serial + "/state", MqttAbsentPayload(serial, Output->absentSince), 0);
}

// Holds the lock.
void PublishDiscovery()
{
    const CycleReport& report = *Output->latest;
    Output->discovery.expireAfter = MqttExpireAfter(report);
    for (int i = 0; i < report.count && i < SENSOR_SLOTS; ++i)
        for (MqttEntity entity : {MqttEntity::Temperature, MqttEntity::Failures})
            Publish(MqttDiscoveryTopic(Output->discovery, report.readings[i], entity),
                    MqttDiscoveryPayload(Output->discovery, report.readings[i], entity), 1);
    for (int i = 0; i < MQTT_LOGGER_ENTITY_COUNT; ++i) {
        auto entity = static_cast<MqttLoggerEntity>(i);
        Publish(MqttLoggerDiscoveryTopic(Output->discovery, entity),
                MqttLoggerDiscoveryPayload(Output->discovery, entity), 1);
    }
}

// On the network thread.
void OnConnect(mosquitto*, void*, int code)
{
    std::lock_guard<std::mutex> guard(Output->lock);
    if (code != 0) {
        Output->refused = code;
        return;
    }
    Output->connected = true;
    Output->refused = 0;
    Publish(Output->status, "online", 1);
    if (Output->latest) {
        if (Output->discoveryOn)
            PublishDiscovery();
        PublishStates();
        PublishAbsent();
    }
}

void OnDisconnect(mosquitto*, void*, int)
{
    std::lock_guard<std::mutex> guard(Output->lock);
    if (Output->connected)
        Output->downSince = Clock::now();
    Output->connected = false;
}

// libmosquitto's own words on a failed TLS handshake.
void OnLog(mosquitto*, void*, int level, const char* line)
{
    if (level != MOSQ_LOG_ERR || !line)
        return;
    std::lock_guard<std::mutex> guard(Output->lock);
    Output->tls = MqttTlsProblemOf(Output->tls, line);
}

void OnPublish(mosquitto*, void*, int id)
{
    std::lock_guard<std::mutex> guard(Output->lock);
    Output->lastAcknowledged = id;
    Output->acknowledged.notify_all();
}

// One entry when the broker has been out of reach for the grace time or
// refused the login, and one when the connection is back. Holds the lock.
void LogConnectionProblem()
{
    if (Output->connected) {
        if (Output->problemLogged)
            OutputsLogEvent("MQTT broker %s connected again\n", Output->shown.c_str());
        Output->problemLogged = false;
        return;
    }
    if (Output->problemLogged)
        return;
    if (Output->refused) {
        OutputsLogEvent("MQTT broker %s refused the connection: %s; trying again\n", Output->shown.c_str(),
                        mosquitto_connack_string(Output->refused));
        Output->problemLogged = true;
    } else if (Output->tls != MqttTlsProblem::None) {
        OutputsLogEvent("MQTT broker %s: %s; trying again\n", Output->shown.c_str(),
                        MqttTlsProblemText(Output->tls, Output->url.host).c_str());
        Output->problemLogged = true;
    } else if (Output->hungUp && !Output->url.tls) {
        OutputsLogEvent("MQTT broker %s closed the connection without answering (a TLS port? then use mqtts://); "
                        "trying again\n",
                        Output->shown.c_str());
        Output->problemLogged = true;
    } else if (Clock::now() - Output->downSince >= Grace) {
        OutputsLogEvent("MQTT broker %s can't be reached; trying again\n", Output->shown.c_str());
        Output->problemLogged = true;
    }
}

// The network thread: connects, runs the loop while the connection lasts,
// and waits 1, 2, 4 ... 30 s between attempts (back to 1 s after a login).
void RunNetwork(MqttOutputState* output)
{
    int delay = ReconnectFirstSeconds;
    bool first = true;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(output->lock);
            if (output->stopping)
                return;
        }
        {
            std::lock_guard<std::mutex> guard(output->lock);
            output->tls = MqttTlsProblem::None;
        }
        bool answered = false;
        int rc = first ? mosquitto_connect_async(output->client, output->url.host.c_str(), output->url.port,
                                                 KeepAliveSeconds)
                       : mosquitto_reconnect_async(output->client);
        first = false;
        while (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop(output->client, 1000, 1);
            bool stopping;
            {
                std::lock_guard<std::mutex> guard(output->lock);
                stopping = output->stopping;
                if (output->connected || output->refused)
                    answered = true;
                if (output->connected)
                    delay = ReconnectFirstSeconds;
            }
            if (stopping) {
                // Sends the queued DISCONNECT (a second at most), so the broker keeps the will to itself.
                for (int i = 0; i < 10 && rc == MOSQ_ERR_SUCCESS; ++i)
                    rc = mosquitto_loop(output->client, 100, 1);
                return;
            }
        }
        std::unique_lock<std::mutex> guard(output->lock);
        // Taken by TCP, then closed before any CONNACK: not an MQTT listener as configured.
        output->hungUp = !answered && rc == MOSQ_ERR_CONN_LOST;
        if (output->connected)
            output->downSince = Clock::now();
        output->connected = false;
        if (output->wake.wait_for(guard, std::chrono::seconds(delay), [output] { return output->stopping; }))
            return;
        delay = delay * 2 > ReconnectMostSeconds ? ReconnectMostSeconds : delay * 2;
    }
}

// The logger's name: metrics-name of temp.conf, else the host and the
// instance. TEMP_HOST_NAME stands for the host name (two "hosts" on one machine).
std::string LoggerName(const TempConfig& config)
{
    const char* instance = std::getenv("TEMP_METRICS_NAME");
    const char* hostName = std::getenv("TEMP_HOST_NAME");
    char host[256] = "";
    if (hostName && *hostName)
        std::snprintf(host, sizeof host, "%s", hostName);
    else if (gethostname(host, sizeof host - 1) != 0)
        host[0] = '\0';
    char* cwd = getcwd(nullptr, 0);
    std::string directory = cwd ? cwd : "";
    std::free(cwd);
    return MqttLoggerName(MetricsSettingsOf(config).name, instance ? instance : "", host, directory);
}

// The password file's first line. A file that others can read gets a warning.
int ReadPassword(const std::string& path, std::string* password)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        OutputsLogEvent("MQTT password file %s can't be read: %s; MQTT off\n", path.c_str(), std::strerror(errno));
        return 0;
    }
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && !S_ISREG(info.st_mode)) {
        std::fclose(file);
        OutputsLogEvent("MQTT password file %s can't be read: %s; MQTT off\n", path.c_str(),
                        S_ISDIR(info.st_mode) ? "it is a directory" : "it is not a file");
        return 0;
    }
    if (fstat(fileno(file), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)))
        OutputsLogEvent("MQTT password file %s can be read by others; chmod 600 it\n", path.c_str());
    char line[512] = "";
    if (!std::fgets(line, sizeof line, file))
        line[0] = '\0';
    bool failed = std::ferror(file) != 0;
    int error = errno;
    std::fclose(file);
    if (failed) {
        OutputsLogEvent("MQTT password file %s can't be read: %s; MQTT off\n", path.c_str(), std::strerror(error));
        return 0;
    }
    line[std::strcspn(line, "\r\n")] = '\0';
    *password = line;
    std::memset(line, 0, sizeof line);
    return 1;
}

// A key is never asked for a passphrase on the console: the load fails instead.
int NoPassphrase(char*, int, int, void*)
{
    return 0;
}

// The client certificate's two files: both or neither, readable, for mqtts.
// Returns 0 (MQTT off) when they can't be used.
int CheckClientCertificate(const MqttSettings& settings, bool tls)
{
    if (settings.certFile.empty() && settings.keyFile.empty())
        return 1;
    if (settings.certFile.empty() || settings.keyFile.empty()) {
        OutputsLogEvent("MQTT client certificate needs both mqtt-cert-file and mqtt-key-file; MQTT off\n");
        return 0;
    }
    if (!tls) {
        OutputsLogEvent("MQTT client certificate is sent only over mqtts://; MQTT off\n");
        return 0;
    }
    for (const std::string* path : {&settings.certFile, &settings.keyFile}) {
        FILE* file = std::fopen(path->c_str(), "rb");
        struct stat info;
        const char* why = nullptr;
        if (!file)
            why = std::strerror(errno);
        else if (fstat(fileno(file), &info) == 0 && !S_ISREG(info.st_mode))
            why = S_ISDIR(info.st_mode) ? "it is a directory" : "it is not a file";
        else if (path == &settings.keyFile && (info.st_mode & (S_IRGRP | S_IROTH)))
            OutputsLogEvent("MQTT key file %s can be read by others; chmod 600 it\n", path->c_str());
        if (file)
            std::fclose(file);
        if (why) {
            OutputsLogEvent("MQTT %s file %s can't be read: %s; MQTT off\n",
                            path == &settings.keyFile ? "key" : "certificate", path->c_str(), why);
            return 0;
        }
    }
    return 1;
}

// Sets up the client (open runs on the cycle's thread); the connection starts
// with the first cycle, on the network thread, so that a slow name lookup
// never delays the logger's start.
int OpenMqtt(const TempConfig& config)
{
    MqttSettings settings = MqttSettingsOf(config);
    if (settings.broker.empty())
        return 0;
    auto output = std::make_unique<MqttOutputState>();
    output->shown = settings.broker;
    if (!MqttParseUrl(settings.broker, &output->url))
        return 0;  // temp.conf's check has logged it
    std::string logger = LoggerName(config);
    output->topic = settings.topic.empty() ? "temp/" + MqttNameLevel(logger) : settings.topic;
    output->status = output->topic + "/status";
    output->discoveryOn = !settings.discovery.empty();
    output->discovery = {settings.discovery, output->topic, logger, 0};
    output->username = settings.username;
    output->caFile = settings.caFile;
    if (!CheckClientCertificate(settings, output->url.tls))
        return 0;
    if (!settings.passwordFile.empty()) {
        if (!ReadPassword(settings.passwordFile, &output->password))
            return 0;
        if (output->username.empty())
            OutputsLogEvent("MQTT password file %s given without mqtt-username; the password is not sent\n",
                            settings.passwordFile.c_str());
    }

    mosquitto_lib_init();
    output->client = mosquitto_new(nullptr, true, nullptr);
    const char* failed = nullptr;
    if (!output->client)
        failed = "no client";
    else if (mosquitto_will_set(output->client, output->status.c_str(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS)
        failed = "the status topic can't be the will's";
    else if (!output->username.empty() &&
             mosquitto_username_pw_set(output->client, output->username.c_str(),
                                       settings.passwordFile.empty() ? nullptr : output->password.c_str()) !=
                 MOSQ_ERR_SUCCESS)
        failed = "the user name is not accepted";
    else if (output->url.tls &&
             mosquitto_tls_set(output->client, output->caFile.empty() ? nullptr : output->caFile.c_str(),
                               output->caFile.empty() ? "/etc/ssl/certs" : nullptr,
                               settings.certFile.empty() ? nullptr : settings.certFile.c_str(),
                               settings.keyFile.empty() ? nullptr : settings.keyFile.c_str(),
                               NoPassphrase) != MOSQ_ERR_SUCCESS)
        failed = "TLS can't be set up (is mqtt-ca-file readable?)";
    output->password.assign(output->password.size(), '\0');
    if (failed) {
        OutputsLogEvent("MQTT broker %s: %s; MQTT off\n", settings.broker.c_str(), failed);
        if (output->client)
            mosquitto_destroy(output->client);
        mosquitto_lib_cleanup();
        return 0;
    }
    mosquitto_threaded_set(output->client, true);
    mosquitto_connect_callback_set(output->client, OnConnect);
    mosquitto_disconnect_callback_set(output->client, OnDisconnect);
    mosquitto_publish_callback_set(output->client, OnPublish);
    mosquitto_log_callback_set(output->client, OnLog);
    Output = output.release();
    return 1;
}

void CycleMqtt(const CycleReport& report)
{
    if (!Output->started) {
        Output->started = true;
        Output->downSince = Clock::now();
        Output->network = std::thread(RunNetwork, Output);
    }
    std::lock_guard<std::mutex> guard(Output->lock);
    for (int i = 0; i < report.count && i < SENSOR_SLOTS; ++i) {
        const SensorReading& reading = report.readings[i];
        auto outcome = static_cast<size_t>(reading.outcome);
        if (outcome < static_cast<size_t>(READING_OUTCOME_COUNT))
            Output->counts[reading.serialText][outcome] += 1;
    }
    if (!Output->latest) {
        Output->latest = std::make_unique<CycleReport>();
        // The working directory's temp.pd, already updated by this first cycle.
        std::string pool;
        if (FILE* file = std::fopen("temp.pd", "rb")) {
            char buffer[4096];
            size_t got;
            while (pool.size() < (1u << 20) && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
                pool.append(buffer, got);
            std::fclose(file);
        }
        Output->absent = MqttAbsentSerials(MqttPoolSerials(pool), report);
        Output->absentSince = report.started;
        if (Output->connected)
            PublishAbsent();
    }
    *Output->latest = report;
    if (Output->connected)
        PublishStates();
    LogConnectionProblem();
}

// An orderly end says "offline" itself (the will is for the others) and
// waits a moment for the broker to take it.
void CloseMqtt()
{
    if (Output->started) {
        {
            std::unique_lock<std::mutex> guard(Output->lock);
            if (Output->connected) {
                int id = Publish(Output->status, "offline", 1);
                bool answered = Output->acknowledged.wait_for(guard, std::chrono::seconds(2), [id] {
                    return Output->lastAcknowledged == id || !Output->connected;
                });
                // A broker that holds the connection and answers nothing (stopped, hung).
                if (!answered)
                    OutputsLogEvent("MQTT broker %s did not answer at the stop; \"offline\" and the last states may "
                                    "not have arrived\n",
                                    Output->shown.c_str());
            }
        }
        {
            std::lock_guard<std::mutex> guard(Output->lock);
            Output->stopping = true;
            Output->wake.notify_all();
        }
        mosquitto_disconnect(Output->client);
        Output->network.join();
    }
    mosquitto_destroy(Output->client);
    mosquitto_lib_cleanup();
    delete Output;
    Output = nullptr;
}

}  // namespace

extern const CycleOutputOps MqttOutput = {"mqtt", OpenMqtt, CycleMqtt, CloseMqtt, MqttKeys, MqttJudgeSetting};
