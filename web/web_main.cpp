// temp-web: a web page and a JSON API over the loggers' folders of this
// machine, read-only. The HTTP side (cpp-httplib) is only this file; the
// routes live in web_api.cpp.
//
//   temp-web [--listen ADDRESS:PORT] [--dir DIR]... [--help] [--version]
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <httplib.h>

#include "web/web_api.h"

std::vector<WebAsset> WebPageAssets();  // web_assets.cpp (generated from web/page/)

namespace {

const char* const kUsage =
    "usage: temp-web [--listen ADDRESS:PORT] [--dir DIR]... [--help] [--version]\n"
    "\n"
    "A web page and a JSON API (/api/v1/) over the loggers of this machine, read-only.\n"
    "  --listen ADDRESS:PORT  where to answer (default 127.0.0.1:8080; 0.0.0.0:8080 for every\n"
    "                         address, [::1]:8080 for IPv6; port 0 picks a free one)\n"
    "  --dir DIR              a logger's folder (repeatable); without it every folder in\n"
    "                         " TEMP_WEB_STATE_ROOT ", also those made later\n"
    "  --password-file FILE   ask for a user and password (basic authentication): FILE holds\n"
    "                         USER:HASH lines, HASH from openssl passwd -6 or mkpasswd\n"
    "  --tls-cert FILE --tls-key FILE   answer with HTTPS: the certificate (PEM, with its chain)\n"
    "                         and its private key\n"
    "  --help, --version\n"
    "Documented in docs/web.md.\n";

// Every client's requests together: threads that serve connections. A
// connection holds one while it is open; slow clients are cut off by the
// read timeout.
constexpr int kThreads = 8;
constexpr time_t kReadTimeoutS = 5;
constexpr time_t kWriteTimeoutS = 5;
// No keep-alive: the library waits on a kept-alive connection by waking
// every 10 ms, which with a page polling each second never rests. A
// connection per poll costs less.
constexpr size_t kKeepAliveRequests = 1;
constexpr size_t kMaxBody = 1024;  // only GET: a request has no body worth reading

bool SplitListen(const std::string& text, std::string* host, int* port)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string h = text.substr(0, colon);
    std::string p = text.substr(colon + 1);
    if (h.front() == '[') {
        if (h.back() != ']' || h.size() < 3)
            return false;
        h = h.substr(1, h.size() - 2);
    }
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int n = std::stoi(p);
    if (n > 65535)
        return false;
    *host = h;
    *port = n;
    return true;
}

std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1";
    int port = 8080;
    std::vector<std::string> dirs;
    std::string passwordFile, tlsCert, tlsKey;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("temp-web %s\n", TEMP_VERSION);
            return 0;
        }
        bool valued = arg == "--listen" || arg == "--dir" || arg == "--password-file" || arg == "--tls-cert"
                      || arg == "--tls-key";
        if (valued && i + 1 >= argc) {
            std::fprintf(stderr, "temp-web: %s needs a value\n%s", arg.c_str(), kUsage);
            return 2;
        }
        if (arg == "--listen") {
            if (!SplitListen(argv[++i], &host, &port)) {
                std::fprintf(stderr, "temp-web: --listen %s: expected ADDRESS:PORT, e.g. 127.0.0.1:8080\n", argv[i]);
                return 2;
            }
        } else if (arg == "--dir") {
            dirs.push_back(argv[++i]);
        } else if (arg == "--password-file") {
            passwordFile = argv[++i];
        } else if (arg == "--tls-cert") {
            tlsCert = argv[++i];
        } else if (arg == "--tls-key") {
            tlsKey = argv[++i];
        } else {
            std::fprintf(stderr, "temp-web: unknown argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (tlsCert.empty() != tlsKey.empty()) {
        std::fprintf(stderr, "temp-web: --tls-cert and --tls-key go together\n");
        return 2;
    }
    // Users and their password hashes; never a password on the command line.
    std::map<std::string, std::string> users;
    if (!passwordFile.empty()) {
        std::string error;
        std::string bytes = ReadWhole(passwordFile);
        if (!WebParsePasswordFile(bytes, &users, &error)) {
            std::fprintf(stderr, "temp-web: %s: %s\n", passwordFile.c_str(),
                         bytes.empty() ? "can't read it, or it is empty" : error.c_str());
            return 2;
        }
    }
    std::vector<std::string> roots;
    if (dirs.empty())
        roots.push_back(TEMP_WEB_STATE_ROOT);

    // SIGTERM and SIGINT are taken by a thread of their own, which stops the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<WebAsset> assets = WebPageAssets();
    std::string chart = ReadWhole(TEMP_WEB_CHART_SCRIPT);
    if (chart.empty())
        std::fprintf(stderr, "temp-web: can't read %s (package libjs-dygraphs): the charts stay empty\n",
                     TEMP_WEB_CHART_SCRIPT);
    assets.push_back({"/dygraph.js", "application/javascript; charset=utf-8", chart});

    WebSource source(dirs, roots, WallMs);
    WebApi api(source, std::move(assets));

    std::unique_ptr<httplib::Server> tls;
    if (!tlsCert.empty()) {
        tls = std::make_unique<httplib::SSLServer>(tlsCert.c_str(), tlsKey.c_str());
        if (!static_cast<httplib::SSLServer&>(*tls).is_valid()) {
            std::fprintf(stderr, "temp-web: can't use %s with %s for TLS (a PEM certificate and its key)\n",
                         tlsCert.c_str(), tlsKey.c_str());
            return 2;
        }
    }
    httplib::Server plain;
    httplib::Server& server = tls ? *tls : plain;
    // Authorization headers already checked (crypt costs milliseconds): a few, kept in memory only.
    std::mutex checkedMutex;
    std::set<std::string> checked;
    server.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    server.set_read_timeout(kReadTimeoutS, 0);
    server.set_write_timeout(kWriteTimeoutS, 0);
    server.set_keep_alive_max_count(kKeepAliveRequests);
    server.set_payload_max_length(kMaxBody);
    server.set_default_headers({
        {"Content-Security-Policy", "default-src 'self'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    });
    server.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
        if (!users.empty()) {
            const std::string header = req.get_header_value("Authorization");
            bool ok = false;
            {
                std::lock_guard<std::mutex> lock(checkedMutex);
                ok = checked.count(header) > 0;
            }
            std::string user, password;
            if (!ok && WebParseBasicAuth(header, &user, &password)) {
                auto entry = users.find(user);
                ok = entry != users.end() && WebPasswordMatches(password, entry->second);
                if (ok) {
                    std::lock_guard<std::mutex> lock(checkedMutex);
                    if (checked.size() >= 64)
                        checked.clear();
                    checked.insert(header);
                }
            }
            if (!ok) {
                res.status = 401;
                res.set_header("WWW-Authenticate", "Basic realm=\"temp\", charset=\"UTF-8\"");
                res.set_content(WebDump(WebErrorJson("a user and password are needed")), WEB_JSON_TYPE);
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (req.method == "GET" || req.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 405;
        res.set_header("Allow", "GET, HEAD");
        res.set_content(WebDump(WebErrorJson("only GET and HEAD: temp-web changes nothing")), WEB_JSON_TYPE);
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(WebDump(WebErrorJson("internal error")), WEB_JSON_TYPE);
    });
    server.Get(R"(/.*)", [&api](const httplib::Request& req, httplib::Response& res) {
        WebResponse r = api.Get(req.path, req.params);
        res.status = r.status;
        if (!r.fileName.empty())
            res.set_header("Content-Disposition", "attachment; filename=\"" + r.fileName + "\"");
        if (r.stream) {
            auto stream = std::move(r.stream);
            res.set_chunked_content_provider(r.contentType, [stream](size_t, httplib::DataSink& sink) {
                stream([&sink](const std::string& piece) { return sink.write(piece.data(), piece.size()); });
                sink.done();
                return true;
            });
        } else {
            res.set_content(r.body, r.contentType);
        }
    });

    int bound = port;
    if (port == 0)
        bound = server.bind_to_any_port(host);
    else if (!server.bind_to_port(host, port))
        bound = -1;
    if (bound <= 0) {
        std::fprintf(stderr, "temp-web: can't listen on %s:%d: %s\n", host.c_str(), port, std::strerror(errno));
        return 1;
    }
    std::thread stopper([&server, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    });
    stopper.detach();
    std::printf("temp-web %s: listening on %s://%s%s%s:%d/\n", TEMP_VERSION, tls ? "https" : "http",
                host.find(':') != std::string::npos ? "[" : "",
                host.c_str(), host.find(':') != std::string::npos ? "]" : "", bound);
    std::fflush(stdout);
    server.listen_after_bind();
    return 0;
}
