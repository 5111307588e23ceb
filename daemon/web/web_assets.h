// The dashboard's files, compiled into the binary from daemon/web/assets/ so that the page works
// with nothing else installed and nothing fetched from elsewhere.
#pragma once

#include <cstddef>
#include <string_view>

namespace web {

struct Asset {
    const char* path;  // relative to the assets folder, "index.html", "vendor/uPlot.iife.min.js"
    const char* contentType;
    const char* data;
    size_t size;
    const char* etag;  // quoted, from the content, so a reload after an upgrade fetches anew
    const char* gzip;  // the same made smaller at build time; null where that did not pay
    size_t gzipSize;
};

const Asset* FindAsset(std::string_view path);

}  // namespace web
