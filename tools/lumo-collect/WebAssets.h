// The web view's files, built into the binary from tools/lumo-collect/web/ (see
// web/embed.cmake), so the view needs nothing installed beside the tool.
#ifndef LUMO_COLLECT_WEBASSETS_H
#define LUMO_COLLECT_WEBASSETS_H

#include <cstddef>
#include <string>

namespace lumo_collect {

struct WebAsset {
    const char *path; // "/index.html"
    const char *contentType;
    const unsigned char *data;
    std::size_t size;
};

// Null for a path that names no file of the view.
const WebAsset *findWebAsset(const std::string &path);

} // namespace lumo_collect

#endif
