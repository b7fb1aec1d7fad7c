// Command-line pieces shared by the poller, the simulator and the agent.
// Every number goes through the parsers of args.h, so all three read numbers
// one way. The parser (CLI11) is held behind CLI::App's name only: a program's
// main() and the tests include this header without compiling the parser,
// which only the files that define options (through cli_options.h) and
// cli.cpp do.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

namespace CLI {
class App;
}

namespace quillark_tools {

// The shape of every program's command line: one CLI::App, built once over
// an options struct. parse() may be called again and starts each time from
// the defaults; it returns -1 to go on with options(), else the exit status:
// 0 after --help (printed on `out`), 2 after a usage error (said on `errors`,
// naming the option). It reads no file and opens nothing.
class CommandLineBase {
public:
    CommandLineBase(const std::string& description, const std::string& name);
    virtual ~CommandLineBase();
    CommandLineBase(const CommandLineBase&) = delete;
    CommandLineBase& operator=(const CommandLineBase&) = delete;

protected:
    static constexpr int kUsage = 2;
    // Parses into what the options are bound to, then finish_parse().
    int parse_into(int argc, const char* const* argv, std::ostream& out, std::ostream& errors);
    // Clears what the program keeps beside the options between two parses.
    virtual void reset() {}
    // After a parse: settles what depends on several options; a message
    // makes it a usage error.
    virtual std::string finish_parse() = 0;

private:
    std::unique_ptr<CLI::App> owned_app_;

protected:
    CLI::App& app_;
};

template <typename Options>
class CommandLine : public CommandLineBase {
public:
    using CommandLineBase::CommandLineBase;

    int parse(int argc, const char* const* argv, std::ostream& out, std::ostream& errors) {
        options_ = Options{};  // the options bound to the parser stay where they are
        return parse_into(argc, argv, out, errors);
    }
    const Options& options() const { return options_; }

protected:
    virtual std::string finish(Options& options) {
        (void)options;
        return {};
    }

    Options options_;

private:
    std::string finish_parse() final { return finish(options_); }
};

}  // namespace quillark_tools
