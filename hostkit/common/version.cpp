#include "hostkit/common/version.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "quillark_version.h"

namespace quillark_tools {

std::string version_line(const std::string& tool) {
    return tool + " " + QUILLARK_VERSION +
           (std::strlen(QUILLARK_GIT_COMMIT) > 0 ? std::string(" (git ") + QUILLARK_GIT_COMMIT + ")"
                                                 : std::string());
}

std::string identification_in_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    const std::string mark = std::string(QUILLARK_IDENTIFICATION_MARK) + "quillark ";
    const auto found = std::search(bytes.begin(), bytes.end(), mark.begin(), mark.end());
    if (found == bytes.end()) return {};
    // The text runs to its terminating NUL; a sane identification is short.
    const auto begin =
        found + static_cast<std::ptrdiff_t>(std::strlen(QUILLARK_IDENTIFICATION_MARK));
    const auto limit = bytes.end() - begin > 200 ? begin + 200 : bytes.end();
    const auto end = std::find(begin, limit, '\0');
    if (end == limit) return {};
    return std::string(begin, end);
}

}  // namespace quillark_tools
