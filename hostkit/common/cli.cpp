#include "hostkit/common/cli.h"

#include <ostream>

#include <CLI/CLI.hpp>

namespace quillark_tools {

CommandLineBase::CommandLineBase(const std::string& description, const std::string& name)
    : owned_app_(std::make_unique<CLI::App>(description, name)), app_(*owned_app_) {}

CommandLineBase::~CommandLineBase() = default;

int CommandLineBase::parse_into(int argc, const char* const* argv, std::ostream& out,
                                std::ostream& errors) {
    reset();
    try {
        app_.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app_.exit(e, out, errors);
    } catch (const CLI::ParseError& e) {
        errors << app_.get_name() << ": " << e.what() << "\nRun with --help for the options.\n";
        return kUsage;
    }
    if (const std::string problem = finish_parse(); !problem.empty()) {
        errors << app_.get_name() << ": " << problem << "\n";
        return kUsage;
    }
    return -1;
}

}  // namespace quillark_tools
