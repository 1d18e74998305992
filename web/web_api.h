// temp-web's JSON API and page routes, free of the HTTP library: a request's
// path and query give a response. Paths are matched segment by segment
// against fixed routes; nothing of a request is ever used as a file name.
// Thread-safe (the source locks itself).
#pragma once

#include <functional>
#include <map>
#include <string>

#include "web/web_folder.h"

constexpr const char* WEB_JSON_TYPE = "application/json; charset=utf-8";

struct WebResponse {
    int status = 200;
    // With a charset, which also keeps the HTTP library from compressing it:
    // brotli costs tens of milliseconds of CPU for each poll of the overview.
    std::string contentType = WEB_JSON_TYPE;
    std::string body;
    // A streamed body instead (the CSV export): calls `write` for each piece
    // until done; stops when `write` returns false (the client went away).
    std::function<void(const std::function<bool(const std::string&)>& write)> stream;
    std::string fileName;  // for Content-Disposition (downloads)
};

using WebParams = std::multimap<std::string, std::string>;

// The page's files, served from memory.
struct WebAsset {
    const char* path;  // "/", "/app.js"...
    const char* contentType;
    std::string body;
};

class WebApi {
public:
    WebApi(WebSource& source, std::vector<WebAsset> assets);
    // A GET (or HEAD) of `path` (decoded, without the query).
    WebResponse Get(const std::string& path, const WebParams& params);

private:
    WebResponse Overview();
    WebResponse Sensors();
    WebResponse Loggers();
    WebResponse Events(const std::string& id, const WebParams& params);
    WebResponse History(const std::string& serial, const WebParams& params, bool csv);

    WebSource& source_;
    std::vector<WebAsset> assets_;
};

// The response for a bad request: status and a JSON error naming the problem.
WebResponse WebError(int status, const std::string& message);
