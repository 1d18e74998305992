// Runs of the built temp with MQTT on, against Debian's mosquitto broker on
// 127.0.0.1 (a free port, its own configuration, no persistence), read back
// by a libmosquitto subscriber; and runs with MQTT off or its broker away,
// compared with the plain logger on the virtual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <mosquitto.h>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/logger/process_run.h"

namespace {

struct Message {
    std::string topic, payload;
    bool retained;
};

// Subscribes to everything (again after each reconnection) and keeps every message.
class Subscriber {
public:
    Subscriber(int port, const std::string& caFile = "", const std::string& user = "", const std::string& password = "",
               const std::string& certFile = "", const std::string& keyFile = "")
    {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        if (!user.empty())
            mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
        if (!caFile.empty())
            mosquitto_tls_set(client_, caFile.c_str(), nullptr, certFile.empty() ? nullptr : certFile.c_str(),
                              keyFile.empty() ? nullptr : keyFile.c_str(), nullptr);
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_callback_set(client_, [](mosquitto* m, void*, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, "#", 1);
        });
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> guard(s->lock_);
            s->messages_.push_back({m->topic, std::string(static_cast<const char*>(m->payload),
                                                          static_cast<size_t>(m->payloadlen)),
                                    m->retain});
        });
        mosquitto_connect_async(client_, "127.0.0.1", port, 30);
        mosquitto_loop_start(client_);
    }
    ~Subscriber()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
        mosquitto_lib_cleanup();
    }
    std::vector<Message> Messages()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return messages_;
    }
    // The messages whose topic matches `pattern`.
    std::vector<Message> On(const std::string& pattern)
    {
        std::vector<Message> found;
        std::regex re(pattern);
        for (const Message& m : Messages())
            if (std::regex_match(m.topic, re))
                found.push_back(m);
        return found;
    }

private:
    mosquitto* client_;
    std::mutex lock_;
    std::vector<Message> messages_;
};

const std::string S1 = FullSerial("10000000000101"), S2 = FullSerial("10000000000102"),
                  S3 = FullSerial("10000000000103");
const std::string Table = S1 + " 7 Hall\"B\"\r\n" + S2 + " 8 Cellar\r\n" + S3 + " 9 K\xC3\xBC" "che\r\n";
const std::map<std::string, int> Places = {{S1, 7}, {S2, 8}, {S3, 9}};

std::string Sensors()
{
    return "sensor " + S1 + " 21.5\nsensor " + S2 + " -10.25\nsensor " + S3 + " 30.0625\n";
}

// A JSON member's text as written by the logger: a number, null, or a string without its quotes.
std::string Member(const std::string& json, const std::string& key)
{
    std::smatch m;
    std::regex number("\"" + key + "\":(-?[0-9.e+]+|null)");
    if (std::regex_search(json, m, number))
        return m[1];
    std::regex text("\"" + key + "\":\"((?:[^\"\\\\]|\\\\.)*)\"");
    if (std::regex_search(json, m, text))
        return m[1];
    return "(none)";
}

class MqttRun : public ProcessRun {
protected:
    void SetUp() override
    {
        ProcessRun::SetUp();
        if (FindTool("mosquitto").empty() || FindTool("openssl").empty() || FindTool("mosquitto_passwd").empty())
            GTEST_SKIP() << "mosquitto, mosquitto_passwd or openssl is not installed (Debian packages mosquitto, "
                            "mosquitto-clients, openssl; scripts/install-deps.sh installs them)";
    }

    // mosquitto on 127.0.0.1:port with the extra configuration lines.
    pid_t StartBroker(int port, const std::string& extra = "allow_anonymous true\n")
    {
        std::string conf = root_ + "/broker.conf";
        std::string text = "listener " + std::to_string(port) + " 127.0.0.1\npersistence false\n" + extra;
        if (geteuid() == 0)
            text += "user root\n";  // else it drops to the mosquitto user, who can't read the test's files
        WriteFile(conf, text);
        pid_t broker = Start({"mosquitto", "-c", conf}, FindTool("mosquitto"), root_ + "/broker.log", root_);
        // Listening once a client connects.
        bool up = WaitFor(60, [&] {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port));
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(fd);
            return ok;
        });
        EXPECT_TRUE(up) << Tail(root_ + "/broker.log");
        return broker;
    }

    // A self-signed certificate root_/<name>.pem with its key root_/<name>.key; 0 when made.
    int MakeCertificate(const std::string& name, const std::string& subject, const std::string& alt)
    {
        std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                              "-subj /CN=" + subject + " -addext subjectAltName=" + alt + " -keyout '" + root_ + "/" +
                              name + ".key' -out '" + root_ + "/" + name + ".pem' > '" + root_ + "/openssl.log' 2>&1";
        return std::system(command.c_str());
    }

    std::string EventLog() { return ReadFile(app_ + "USBerr.txt"); }
    std::string Out() { return Tail(root_ + "/temp.out"); }
};

// Every cycle's reading of every sensor arrives as a retained JSON state equal
// to that cycle's tempu.csv line; a CRC fault publishes its outcome and no
// temperature; after the run the broker holds "offline", the discovery
// configs (checked against Home Assistant's sensor options) and the states.
TEST_F(MqttRun, EveryCyclesStatesEqualTempuCsvAndDiscoveryIsValid)
{
    int port = FreePort();
    StartBroker(port);
    Subscriber live(port);
    // S3 leaves the bus in cycle 3 while the others answer: its scratchpad reads all ones.
    std::string bus = "clock real\n" + Sensors() + "fault crc " + S2 + " conversion=2\nfault leave " + S3 +
                      " conversion=3\nfault interrupt conversion=4\n";
    pid_t logger = StartLogger(bus, Table, "mqtt = mqtt://127.0.0.1:" + std::to_string(port) +
                                               "\nmqtt-topic = home/cellar\nmetrics-name = lab 1\n");
    // Each cycle's tempu.csv as it appears.
    std::vector<std::string> csvs;
    while (Running(logger)) {
        std::string csv = ReadFile(W("tempu.csv"));
        if (!csv.empty() && (csvs.empty() || csvs.back() != csv))
            csvs.push_back(csv);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string csv = ReadFile(W("tempu.csv"));
    if (csvs.empty() || csvs.back() != csv)
        csvs.push_back(csv);
    ASSERT_EQ(csvs.size(), 4u) << Out();

    // serial -> its states in order.
    std::map<std::string, std::vector<std::string>> states;
    ASSERT_TRUE(WaitFor(60, [&] { return live.On("home/cellar/status").size() >= 2; }));
    for (const Message& m : live.On("home/cellar/[0-9A-F]{16}/state"))
        states[m.topic.substr(12, 16)].push_back(m.payload);
    ASSERT_EQ(states.size(), 3u);
    for (const auto& [serial, payloads] : states)
        ASSERT_EQ(payloads.size(), 4u) << serial << " has a state for every cycle, once";
    for (size_t cycle = 0; cycle < 4; ++cycle) {
        // time,serial,scratchpad,whole,extended lines of this cycle.
        std::map<std::string, std::vector<std::string>> lines;
        std::istringstream in(csvs[cycle]);
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> fields;
            std::stringstream split(line.substr(0, line.find_last_not_of(" \r") + 1));
            std::string field;
            while (std::getline(split, field, ','))
                fields.push_back(field);
            ASSERT_EQ(fields.size(), 5u) << line;
            lines[fields[1]] = fields;
        }
        for (const auto& [serial, payloads] : states) {
            const std::string& state = payloads[cycle];
            SCOPED_TRACE("cycle " + std::to_string(cycle + 1) + " " + state);
            EXPECT_EQ(Member(state, "place"), std::to_string(Places.at(serial)));
            if (serial == S2 && cycle == 1) {
                EXPECT_EQ(lines.count(serial), 0u);
                EXPECT_EQ(Member(state, "outcome"), "crc");
                EXPECT_EQ(Member(state, "temperature"), "(none)");
                EXPECT_EQ(Member(state, "whole"), "(none)");
                EXPECT_EQ(Member(state, "failed_readings"), "1");
                continue;
            }
            if (serial == S3 && cycle == 2) {
                EXPECT_EQ(lines.count(serial), 0u);
                EXPECT_EQ(Member(state, "outcome"), "no_presence");
                EXPECT_EQ(Member(state, "temperature"), "(none)");
                EXPECT_NE(state.find("\"no_presence\":1,\"crc\":0"), std::string::npos);
                continue;
            }
            ASSERT_EQ(lines.count(serial), 1u);
            const std::vector<std::string>& f = lines[serial];
            EXPECT_EQ(Member(state, "outcome"), "good");
            // Exact here; the file rounds to three decimals, ties away from zero.
            double extended = std::stod(Member(state, "temperature"));
            EXPECT_NEAR(std::round(extended * 1000) / 1000, std::stod(f[4]), 1e-9);
            EXPECT_LT(std::fabs(extended - std::stod(f[4])), 0.0005);
            EXPECT_DOUBLE_EQ(std::stod(Member(state, "whole")), std::stod(f[3]));
            // The same stamp: Unix seconds with milliseconds in the file, ISO-8601 UTC here.
            time_t seconds = std::stoll(f[0]);
            std::tm utc{};
            gmtime_r(&seconds, &utc);
            char iso[40];
            std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S", &utc);
            EXPECT_EQ(Member(state, "time"), std::string(iso) + f[0].substr(f[0].find('.')) + "Z");
        }
    }
    EXPECT_EQ(Member(states[S1][0], "label"), "Hall\\\"B\\\"");
    EXPECT_EQ(Member(states[S3][0], "label"), "K\xC3\xBC" "che");

    // What the broker keeps: all retained, the status last said "offline".
    Subscriber late(port);
    ASSERT_TRUE(WaitFor(60, [&] { return late.Messages().size() >= 1 + 1 + 3 + 6 + 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<Message> kept = late.Messages();
    std::map<std::string, std::string> byTopic;
    for (const Message& m : kept) {
        EXPECT_TRUE(m.retained) << m.topic;
        byTopic[m.topic] = m.payload;
    }
    EXPECT_EQ(byTopic["home/cellar/status"], "offline");
    std::string configs, statesFile;
    int configCount = 0;
    for (const auto& [topic, payload] : byTopic)
        if (topic.compare(0, 14, "homeassistant/") == 0) {
            configs += topic + "\t" + payload + "\n";
            ++configCount;
        }
    EXPECT_EQ(configCount, 6 + 3) << "two per sensor, three of the logger's";
    for (const Message& m : live.On("home/cellar/([0-9A-F]{16}/state|cycle|status)"))
        statesFile += m.topic + "\t" + m.payload + "\n";
    WriteFile(root_ + "/configs.txt", configs);
    WriteFile(root_ + "/states.txt", statesFile);
    std::string command = "python3 " TEMP_MQTT_TESTS "/check_discovery.py " TEMP_MQTT_TESTS
                          "/ha_mqtt_sensor.schema.json '" + root_ + "/configs.txt' homeassistant '" + root_ +
                          "/states.txt' > '" + root_ + "/check.out' 2>&1";
    int status = std::system(command.c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << ReadFile(root_ + "/check.out");
    EXPECT_EQ(status, 0) << ReadFile(root_ + "/check.out") << configs;
    EXPECT_EQ(Count(EventLog(), "MQTT"), 0) << EventLog();
}

// A TLS listener with a certificate the test makes, and a login: the wrong
// password is refused with one entry and the logger runs on; once the broker
// takes the password, it connects (one more entry) and publishes over TLS.
// The password never shows; a password file others can read gets a warning.
TEST_F(MqttRun, WrongPasswordThenRightOverTls)
{
    std::string cert = root_ + "/cert.pem", key = root_ + "/key.pem", passwords = root_ + "/passwords";
    std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "
                       "/CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" + key + "' -out '" + cert +
                       "' > '" + root_ + "/openssl.log' 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << ReadFile(root_ + "/openssl.log");
    std::string setPassword = "mosquitto_passwd -b -c '" + passwords + "' logger Other-Secret-2 > /dev/null 2>&1";
    ASSERT_EQ(std::system(setPassword.c_str()), 0);
    int port = FreePort();
    pid_t broker = StartBroker(port, "allow_anonymous false\npassword_file " + passwords + "\ncertfile " + cert +
                                         "\nkeyfile " + key + "\n");
    WriteFile(app_ + "mqtt.password", "Right-Secret-1\n");
    ASSERT_EQ(chmod((app_ + "mqtt.password").c_str(), 0644), 0);
    pid_t logger = StartLogger("clock real\n" + Sensors(), Table,
                               "mqtt = mqtts://127.0.0.1:" + std::to_string(port) + "\nmqtt-ca-file = " + cert +
                                   "\nmqtt-username = logger\nmqtt-password-file = " + app_ + "mqtt.password\n");
    ASSERT_TRUE(WaitFor(60, [&] { return Count(EventLog(), "refused") == 1; })) << EventLog() << Out();
    EXPECT_NE(EventLog().find("MQTT broker mqtts://127.0.0.1:" + std::to_string(port) + " refused the connection: "),
              std::string::npos)
        << EventLog();
    EXPECT_EQ(Count(EventLog(), "mqtt.password can be read by others"), 1) << EventLog();

    // The broker learns the password (SIGHUP reloads its files).
    setPassword = "mosquitto_passwd -b '" + passwords + "' logger Right-Secret-1 > /dev/null 2>&1";
    ASSERT_EQ(std::system(setPassword.c_str()), 0);
    ASSERT_EQ(kill(broker, SIGHUP), 0);
    Subscriber subscriber(port, cert, "logger", "Right-Secret-1");
    ASSERT_TRUE(WaitFor(60, [&] { return !subscriber.On("temp/.*/" + S3 + "/state").empty(); }))
        << EventLog() << Out();
    ASSERT_TRUE(WaitFor(60, [&] { return Count(EventLog(), "connected again") == 1; })) << EventLog();
    EXPECT_TRUE(Running(logger));
    EXPECT_EQ(Stop(logger), 0) << Out();
    std::string log = EventLog();
    EXPECT_EQ(Count(log, "refused"), 1) << log;
    EXPECT_EQ(Count(log, "MQTT"), 3) << log;
    EXPECT_EQ(Count(log + ReadFile(root_ + "/temp.out"), "Secret"), 0) << log;
    EXPECT_EQ(Member(subscriber.On("temp/.*/" + S3 + "/state").back().payload, "temperature"), "30.0625");
}

// Each way TLS can fail gets one entry saying what failed, never "can't be
// reached"; a password file that is a directory keeps MQTT off.
TEST_F(MqttRun, TlsFailuresAndAPasswordDirectoryAreSaidAsWhatTheyAre)
{
    // Two certificates: one for 127.0.0.1, one for another host.
    ASSERT_EQ(MakeCertificate("local", "127.0.0.1", "IP:127.0.0.1"), 0) << ReadFile(root_ + "/openssl.log");
    ASSERT_EQ(MakeCertificate("other", "other.example", "DNS:other.example"), 0) << ReadFile(root_ + "/openssl.log");
    const int plain = FreePort(), other = FreePort(), local = FreePort();
    StartBroker(plain, "allow_anonymous true\nlistener " + std::to_string(other) + " 127.0.0.1\ncertfile " + root_ +
                           "/other.pem\nkeyfile " + root_ + "/other.key\nallow_anonymous true\nlistener " +
                           std::to_string(local) + " 127.0.0.1\ncertfile " + root_ + "/local.pem\nkeyfile " + root_ +
                           "/local.key\nallow_anonymous true\n");
    ASSERT_EQ(mkdir((app_ + "password.d").c_str(), 0700), 0);
    struct Case {
        std::string conf, entry;
    };
    const std::string ca = "\nmqtt-ca-file = " + root_;
    for (const Case& c : {
             Case{"mqtts://127.0.0.1:" + std::to_string(other) + ca + "/other.pem",
                  "certificate problem: the broker's certificate is not valid for 127.0.0.1; trying again"},
             Case{"mqtts://127.0.0.1:" + std::to_string(local) + ca + "/other.pem",
                  "certificate problem: the broker's certificate can't be verified"},
             Case{"mqtts://127.0.0.1:" + std::to_string(plain) + ca + "/local.pem",
                  "TLS problem: the TLS handshake failed (a plain MQTT port? then use mqtt://); trying again"},
             Case{"mqtt://127.0.0.1:" + std::to_string(local),
                  "closed the connection without answering (a TLS port? then use mqtts://); trying again"},
             Case{"mqtt://127.0.0.1:" + std::to_string(plain) + "\nmqtt-username = logger\nmqtt-password-file = " +
                      app_ + "password.d",
                  "password.d can't be read: it is a directory; MQTT off"},
         }) {
        SCOPED_TRACE(c.conf);
        std::remove((app_ + "USBerr.txt").c_str());
        pid_t logger = StartLogger("clock real\n" + Sensors(), Table, "mqtt = " + c.conf + "\n");
        ASSERT_TRUE(WaitFor(60, [&] { return Count(EventLog(), c.entry) == 1; })) << EventLog() << Out();
        // Two cycles later: still the one entry.
        ASSERT_TRUE(WaitFor(60, [&] { return Count(Out(), "Next cycle") >= 3; })) << Out();
        Stop(logger);
        EXPECT_EQ(Count(EventLog(), "MQTT broker") + Count(EventLog(), "MQTT password"), 1) << EventLog();
        EXPECT_EQ(Count(EventLog(), "can be read by others"), 0) << EventLog();
    }
}

// A broker that requires a client certificate: the logger logs in with its
// own; without one, with one the broker's CA did not sign, or with a key not
// the certificate's, one entry says which.
TEST_F(MqttRun, ClientCertificateLogin)
{
    ASSERT_EQ(MakeCertificate("server", "127.0.0.1", "IP:127.0.0.1"), 0) << ReadFile(root_ + "/openssl.log");
    ASSERT_EQ(MakeCertificate("client", "logger", "DNS:logger"), 0) << ReadFile(root_ + "/openssl.log");
    ASSERT_EQ(MakeCertificate("stranger", "stranger", "DNS:stranger"), 0) << ReadFile(root_ + "/openssl.log");
    const int port = FreePort();
    StartBroker(port, "allow_anonymous true\ncertfile " + root_ + "/server.pem\nkeyfile " + root_ +
                          "/server.key\ncafile " + root_ + "/client.pem\nrequire_certificate true\n");
    const std::string base = "mqtt = mqtts://127.0.0.1:" + std::to_string(port) + "\nmqtt-ca-file = " + root_ +
                             "/server.pem\nmetrics-name = hall\n";
    auto client = [&](const std::string& cert, const std::string& key) {
        return "mqtt-cert-file = " + root_ + "/" + cert + ".pem\nmqtt-key-file = " + root_ + "/" + key + ".key\n";
    };
    struct Case {
        std::string conf, entry;  // no entry: it logs in
    };
    for (const Case& c : {Case{"", "the broker wants a client certificate (mqtt-cert-file and mqtt-key-file)"},
                          Case{client("stranger", "stranger"), "the broker did not accept the client certificate"},
                          Case{client("client", "stranger"), "the client certificate and key can't be used"},
                          Case{client("client", "client"), ""}}) {
        SCOPED_TRACE(c.conf);
        std::remove((app_ + "USBerr.txt").c_str());
        Subscriber subscriber(port, root_ + "/server.pem", "", "", root_ + "/client.pem", root_ + "/client.key");
        pid_t logger = StartLogger("clock real\n" + Sensors(), Table, base + c.conf);
        if (c.entry.empty()) {
            ASSERT_TRUE(WaitFor(60, [&] { return !subscriber.On("temp/hall/" + S1 + "/state").empty(); }))
                << EventLog() << Out();
        } else {
            ASSERT_TRUE(WaitFor(60, [&] { return Count(EventLog(), c.entry) == 1; })) << EventLog() << Out();
            ASSERT_TRUE(WaitFor(60, [&] { return Count(Out(), "Next cycle") >= 3; })) << Out();
            EXPECT_TRUE(subscriber.On("temp/hall/.*").empty());
        }
        Stop(logger);
        EXPECT_EQ(Count(EventLog(), "MQTT broker"), c.entry.empty() ? 0 : 1) << EventLog();
    }
}

// A broker that isn't there: one entry, the cycles go on, and it connects
// when the broker comes. The broker killed and started again (its retained
// messages gone): the logger reconnects and publishes status, discovery and
// states again. Then the logger killed: the broker publishes its will.
TEST_F(MqttRun, UnreachableThenRestartedBrokerThenKilledLogger)
{
    int port = FreePort();
    pid_t logger = StartLogger("clock real\n" + Sensors(), Table,
                               "mqtt = mqtt://127.0.0.1:" + std::to_string(port) + "\nmetrics-name = hall\n");
    ASSERT_TRUE(WaitFor(60, [&] { return Count(EventLog(), "can't be reached") == 1; })) << EventLog() << Out();
    pid_t broker = StartBroker(port);
    {
        Subscriber subscriber(port);
        ASSERT_TRUE(WaitFor(60, [&] { return subscriber.On("temp/hall/[0-9A-F]{16}/state").size() >= 6; }))
            << EventLog() << Out();
        EXPECT_EQ(subscriber.On("homeassistant/sensor/temp_[0-9A-F]{16}(_failures)?/config").size(), 6u);
    }
    ASSERT_TRUE(WaitFor(60, [&] { return Count(EventLog(), "connected again") == 1; })) << EventLog();
    EXPECT_EQ(Count(EventLog(), "MQTT"), 2) << EventLog();

    kill(broker, SIGKILL);
    Wait(broker);
    broker = StartBroker(port);
    Subscriber subscriber(port);
    ASSERT_TRUE(WaitFor(60, [&] {
        return !subscriber.On("temp/hall/status").empty() &&
               subscriber.On("homeassistant/sensor/temp_[0-9A-F]{16}(_failures)?/config").size() == 6 &&
               subscriber.On("temp/hall/[0-9A-F]{16}/state").size() >= 3;
    })) << EventLog() << Out();
    EXPECT_EQ(subscriber.On("temp/hall/status").front().payload, "online");

    kill(logger, SIGKILL);
    EXPECT_EQ(Wait(logger), -SIGKILL);
    ASSERT_TRUE(WaitFor(60, [&] { return subscriber.On("temp/hall/status").back().payload == "offline"; }))
        << subscriber.On("temp/hall/status").size();
    // Kept for those who come later.
    Subscriber late(port);
    ASSERT_TRUE(WaitFor(60, [&] { return !late.On("temp/hall/status").empty(); }));
    EXPECT_EQ(late.On("temp/hall/status").back().payload, "offline");
    EXPECT_TRUE(late.On("temp/hall/status").back().retained);
    // One entry when it could not be reached, one when it could; the quick restart needed none.
    EXPECT_EQ(Count(EventLog(), "MQTT"), 2) << EventLog();
}

// An output that hangs at the stop: a metrics file whose temporary name is a
// FIFO no one reads (a mount that hangs), a broker that holds the connection
// and answers nothing (SIGSTOP). SIGTERM still ends the logger within the
// close's bound with its documented status: the data files whole, the
// markers gone, one entry naming the output.
TEST_F(MqttRun, SigtermEndsTheLoggerWithinTheBoundWhenAnOutputHangs)
{
    const struct Case {
        const char* name;
        bool fifo;  // else a stopped broker
    } cases[] = {{"metrics file on a FIFO", true}, {"broker stopped", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(std::system(("rm -rf '" + work_ + "' '" + app_ + "USBerr.txt' && mkdir '" + work_ + "'").c_str()), 0);
        const int port = FreePort();
        pid_t broker = 0;
        std::string conf, entry;
        if (c.fifo) {
            ASSERT_EQ(mkfifo(W("metrics.prom.tmp").c_str(), 0644), 0);
            conf = "metrics = metrics.prom\n";
            entry = "Output metrics did not stop within 6 s and was left behind with ";
        } else {
            broker = StartBroker(port);
            conf = "mqtt = mqtt://127.0.0.1:" + std::to_string(port) + "\nmetrics-name = hall\n";
            entry = "MQTT broker mqtt://127.0.0.1:" + std::to_string(port) + " did not answer at the stop";
        }
        pid_t logger = StartLogger("clock real\n" + Sensors(), Table, conf);
        if (broker) {
            Subscriber subscriber(port);
            ASSERT_TRUE(WaitFor(60, [&] { return subscriber.On("temp/hall/[0-9A-F]{16}/state").size() >= 3; }))
                << EventLog() << Out();
            kill(broker, SIGSTOP);
        }
        // Cycles go on meanwhile: two more (the first one's end readies the stop).
        for (int cycle = 0; cycle < 2; ++cycle) {
            const std::string csv = ReadFile(W("tempu.csv"));
            ASSERT_TRUE(WaitFor(60, [&] {
                std::string now = ReadFile(W("tempu.csv"));
                return !now.empty() && now != csv;
            })) << Out();
        }
        const auto stop = Clock::now();
        EXPECT_EQ(Stop(logger), 0) << "killed after 15 s\n" << Out();
        const long long tookMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stop).count();
        std::printf("%s: SIGTERM ended the logger in %lld ms\n", c.name, tookMs);
        if (broker) {
            kill(broker, SIGCONT);
        }
        const std::string log = EventLog();
        EXPECT_EQ(Count(log, entry), 1) << log;
        EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
        EXPECT_EQ(access(W("USBPresent").c_str(), F_OK), -1);
        EXPECT_EQ(access(W("USBSyncStart").c_str(), F_OK), -1);
        // The documented files: whole lines, three sensors.
        const std::string last = ReadFile(W("tempu.csv"));
        EXPECT_EQ(Count(last, "\r\n"), 3) << last;
        EXPECT_EQ(last.substr(last.size() - 2), "\r\n");
        EXPECT_GT(ReadFile(W("temp.pd")).size(), 0u);
    }
}

// Two hosts whose service runs instance 1, each on its own bus, on one broker:
// by default no topic is shared, and stopping one leaves the other online.
TEST_F(MqttRun, TwoHostsWithTheSameInstanceShareNoTopic)
{
    int port = FreePort();
    StartBroker(port);
    Subscriber subscriber(port);
    const std::string conf = "mqtt = mqtt://127.0.0.1:" + std::to_string(port) + "\n";
    const std::string other = FullSerial("10000000000201");
    setenv("TEMP_METRICS_NAME", "1", 1);
    setenv("TEMP_HOST_NAME", "alpha.lan", 1);
    pid_t alpha = StartLogger("clock real\n" + Sensors(), Table, conf);
    // The second host: its own program directory, working directory and bus.
    const std::string app2 = root_ + "/app2/", work2 = root_ + "/work2";
    ASSERT_EQ(std::system(("mkdir -p '" + app2 + "' '" + work2 + "'").c_str()), 0);
    WriteFile(root_ + "/bus2.txt", "clock real\nsensor " + other + " 19.5\n");
    WriteFile(app2 + "Direct Access table.txt", other + " 1 Loft\r\n");
    WriteFile(app2 + "temp.conf", conf);
    setenv("TEMP_HOST_NAME", "beta", 1);
    pid_t beta = Start({app2 + "temp", "sim:" + root_ + "/bus2.txt"}, TEMP_BINARY, root_ + "/beta.out", work2);
    unsetenv("TEMP_HOST_NAME");
    unsetenv("TEMP_METRICS_NAME");

    ASSERT_TRUE(WaitFor(60, [&] {
        return !subscriber.On("temp/alpha-1/" + S3 + "/state").empty() &&
               !subscriber.On("temp/beta-1/" + other + "/state").empty();
    })) << Out() << ReadFile(root_ + "/beta.out");
    // Every topic one logger published is its own.
    std::map<std::string, std::set<std::string>> owners;
    for (const Message& m : subscriber.Messages()) {
        bool a = m.topic.find("alpha") != std::string::npos || m.payload.find("alpha-1") != std::string::npos;
        bool b = m.topic.find("beta") != std::string::npos || m.payload.find("beta-1") != std::string::npos;
        EXPECT_NE(a, b) << m.topic << " " << m.payload;
        owners[m.topic].insert(a ? "alpha" : "beta");
    }
    for (const auto& [topic, who] : owners)
        EXPECT_EQ(who.size(), 1u) << topic;

    // Stopped in its orderly way or not, its status says offline (its own word or its will).
    Stop(alpha);
    ASSERT_TRUE(WaitFor(60, [&] { return subscriber.On("temp/alpha-1/status").back().payload == "offline"; }));
    EXPECT_TRUE(Running(beta));
    Subscriber late(port);
    ASSERT_TRUE(WaitFor(60, [&] { return !late.On("temp/beta-1/status").empty(); }));
    EXPECT_EQ(late.On("temp/beta-1/status").back().payload, "online");
    Stop(beta);
}

// A sensor moved from one logger to another: the broker keeps one config per
// unique id, the new logger's. The second logger restarts in the first's
// directory with two sensors gone: their retained states say absent.
TEST_F(MqttRun, AMovedSensorHasOneConfigAndGoneSensorsAreAbsent)
{
    int port = FreePort();
    StartBroker(port);
    const std::string conf = "mqtt = mqtt://127.0.0.1:" + std::to_string(port) + "\nmetrics-name = ";
    pid_t first = StartLogger("clock real\n" + Sensors(), Table, conf + "first\n");
    {
        Subscriber subscriber(port);
        ASSERT_TRUE(WaitFor(60, [&] { return !subscriber.On("temp/first/" + S1 + "/state").empty(); })) << Out();
    }
    Stop(first);
    pid_t second = StartLogger("clock real\nsensor " + S1 + " 22.5\n", Table, conf + "second\n");
    Subscriber subscriber(port);
    ASSERT_TRUE(WaitFor(60, [&] { return !subscriber.On("temp/second/" + S1 + "/state").empty(); })) << Out();
    Stop(second);
    // Everything the broker keeps now.
    Subscriber late(port);
    ASSERT_TRUE(WaitFor(60, [&] { return !late.On("temp/second/status").empty(); }));
    ASSERT_TRUE(WaitFor(60, [&] { return late.On(".*/config").size() >= 2 * 3; }));
    int temperatureConfigs = 0;
    for (const Message& m : late.On(".*/config"))
        if (m.payload.find("\"unique_id\":\"temp_" + S1 + "\"") != std::string::npos) {
            ++temperatureConfigs;
            EXPECT_NE(m.payload.find("temp/second/" + S1 + "/state"), std::string::npos) << m.payload;
        }
    EXPECT_EQ(temperatureConfigs, 1);
    // The second run's temp.pd is the first's: the sensors it did not find
    // are absent, with no temperature, retained.
    for (const std::string& gone : {S2, S3}) {
        std::vector<Message> kept = late.On("temp/second/" + gone + "/state");
        ASSERT_EQ(kept.size(), 1u) << gone;
        EXPECT_TRUE(kept[0].retained);
        EXPECT_EQ(Member(kept[0].payload, "outcome"), "absent") << kept[0].payload;
        EXPECT_EQ(Member(kept[0].payload, "temperature"), "(none)") << kept[0].payload;
    }
    EXPECT_TRUE(late.On("temp/second/" + S1 + "/state").size() == 1u &&
                Member(late.On("temp/second/" + S1 + "/state")[0].payload, "outcome") == "good");
}

// The files and console of one run on the virtual clock: every file of the
// working directory, the event log and the console, by name.
std::map<std::string, std::string> RunFiles(const std::string& work, const std::string& app, const std::string& out)
{
    std::map<std::string, std::string> files;
    if (DIR* dir = opendir(work.c_str())) {
        while (dirent* entry = readdir(dir))
            // The history database is not a documented file (and its pages are no one's to compare).
            if (entry->d_name[0] != '.' && std::string(entry->d_name).compare(0, 12, "temp-history") != 0)
                files[entry->d_name] = ReadFile(work + "/" + entry->d_name);
        closedir(dir);
    }
    // The start's entries are stamped by the real clock, before the software adapter makes it virtual.
    std::istringstream log(ReadFile(app + "USBerr.txt"));
    std::string line;
    for (int i = 0; std::getline(log, line); ++i)
        if (i >= 3)
            files["USBerr.txt"] += line + "\n";
    // As is the console's listing line.
    std::istringstream console(ReadFile(out));
    while (std::getline(console, line))
        if (line.find("List of devices:") == std::string::npos)
            files["console"] += line + "\n";
    return files;
}

// Lines without "MQTT" (the entries of a broker that can't be reached).
std::string WithoutMqtt(const std::string& text)
{
    std::istringstream in(text);
    std::string line, kept;
    while (std::getline(in, line))
        if (line.find("MQTT") == std::string::npos)
            kept += line + "\n";
    return kept;
}

// With mqtt unset the logger is the plain logger to the byte and opens no
// network socket; with mqtt on, with no broker or a running one, its cycles
// keep the same times on the virtual clock and its data files don't change.
TEST_F(MqttRun, OffIsThePlainLoggerAndAnAbsentBrokerCostsNoTime)
{
    const std::string bus = "clock virtual 1700000000\ntiming on\n" + Sensors() + "fault crc " + S2 +
                            " conversion=3\nfault interrupt conversion=7\n";
    WriteFile(root_ + "/bus.txt", bus);
    WriteFile(app_ + "Direct Access table.txt", Table);
    ASSERT_EQ(symlink(TEMP_BINARY, (app_ + "temp").c_str()), 0);
    const std::string strace = FindTool("strace");
    // LeakSanitizer can't run under ptrace: the sanitized logger leaves the leak check to the other tests.
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "detect_leaks=0").c_str(), 1);
    // One run from a clean working directory, under strace when it is there.
    auto run = [&](const std::string& conf, const std::string& trace) {
        std::string clean = "rm -rf '" + work_ + "' '" + app_ + "USBerr.txt' && mkdir '" + work_ + "'";
        EXPECT_EQ(std::system(clean.c_str()), 0);
        std::remove((app_ + "temp.conf").c_str());
        if (!conf.empty())
            WriteFile(app_ + "temp.conf", conf);
        std::vector<std::string> argv = {app_ + "temp", "sim:" + root_ + "/bus.txt"};
        std::string program = app_ + "temp";
        if (!strace.empty()) {
            argv.insert(argv.begin(), {"strace", "-f", "-qq", "-e", "trace=socket", "-o", trace});
            program = strace;
        }
        pid_t pid = Start(argv, program, root_ + "/temp.out", work_);
        EXPECT_EQ(Wait(pid), 0) << Out();
        return RunFiles(work_, app_, root_ + "/temp.out");
    };
    // Internet sockets opened, by the system call lines strace wrote.
    auto inetSockets = [&](const std::string& trace) {
        return Count(ReadFile(trace), "socket(AF_INET");
    };

    auto plain = run("", root_ + "/plain.trace");
    auto unset = run("# MQTT comes later\nmqtt-topic = home/cellar\nmqtt-username = logger\nmqtt-discovery = off\n",
                     root_ + "/unset.trace");
    auto absent = run("mqtt = mqtt://127.0.0.1:" + std::to_string(FreePort()) + "\n", root_ + "/absent.trace");
    const int port = FreePort();
    StartBroker(port);
    auto present = run("mqtt = mqtt://127.0.0.1:" + std::to_string(port) + "\n", root_ + "/present.trace");

    ASSERT_GE(Count(plain["console"], "Next cycle"), 5) << plain["console"];
    EXPECT_EQ(Count(present["console"], "MQTT"), 0) << "the running broker took the connection\n" << present["console"];
    EXPECT_EQ(plain.size(), unset.size());
    for (const auto& [name, text] : plain) {
        EXPECT_TRUE(unset[name] == text) << name << ": mqtt unset\n" << unset[name] << "\nplain:\n" << text;
        bool logs = name == "console" || name == "USBerr.txt";
        // Publishing to a broker, or failing to reach one, moves no stamp of the virtual clock.
        for (const auto& [how, files] : {std::make_pair("broker absent", &absent), std::make_pair("broker running", &present)}) {
            std::string got = (*files)[name];
            EXPECT_TRUE((logs ? WithoutMqtt(got) : got) == text) << name << ": " << how << "\n" << got << "\nplain:\n" << text;
        }
    }
    if (strace.empty())
        GTEST_SKIP() << "strace is not installed: sockets not checked";
    EXPECT_EQ(inetSockets(root_ + "/plain.trace"), 0);
    EXPECT_EQ(inetSockets(root_ + "/unset.trace"), 0) << ReadFile(root_ + "/unset.trace");
    EXPECT_GE(inetSockets(root_ + "/absent.trace"), 1) << "the method sees the sockets MQTT opens";
    EXPECT_GE(inetSockets(root_ + "/present.trace"), 1);
}

}  // namespace
