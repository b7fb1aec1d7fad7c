// What the tools say to --version, and the release a plug-in file says it is.
#pragma once

#include <string>

namespace quillark_tools {

// "quillark-poll 1.0.0 (git 0123abcd4567)": the tool's name and this release.
std::string version_line(const std::string& tool);

// The identification a quillark build carries in its file
// ("quillark 1.0.0 (git ...)"), or "" when the file has none or cannot be read.
std::string identification_in_file(const std::string& path);

}  // namespace quillark_tools
