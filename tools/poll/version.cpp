#include <iostream>

#include "hostkit/plugin.h"
#include "tools/poll/poller.h"
#include "hostkit/common/version.h"

namespace quillark_poll {

int print_version(std::ostream& out, const std::string& plugin_path) {
    out << quillark_tools::version_line("quillark-poll") << "\n";
    const quillark_kit::PluginChoice choice = quillark_kit::find_plugin(plugin_path);
    const std::string& path = choice.path;
    if (path.empty()) {
        out << "plug-in: none found; name one with --plugin" << std::endl;
        return kExitOk;
    }
    try {
        quillark_kit::Plugin plugin(path);  // the same checks as before a poll
    } catch (const quillark_kit::PluginError& e) {
        out.flush();
        std::cerr << "quillark-poll: " << (plugin_path.empty() ? "" : "--plugin: ")
                  << "cannot load " << path << ": " << e.what() << std::endl;
        return plugin_path.empty() ? kExitFailed : kExitUsage;
    }
    const std::string identification = quillark_tools::identification_in_file(path);
    out << "plug-in " << path << ": "
        << (identification.empty() ? "loads, but carries no quillark identification"
                                   : identification)
        << std::endl;
    return kExitOk;
}

}  // namespace quillark_poll
