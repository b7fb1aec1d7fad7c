// What the tools say to their command line: every option in --help, and a
// usage error (exit status 2) that names the option for each bad argument.
#include <gtest/gtest.h>

#include "tests/tools/child.h"

using namespace tool_tests;
using namespace std::chrono_literals;

namespace {

const std::string kPoll = QUILLARK_POLL;
const std::string kSim = QUILLARK_SIM;
constexpr milliseconds kRunLimit = 30s;

}  // namespace

TEST(Poller, HelpDocumentsEveryOption) {
    ScratchDir dir;
    Child help(tool(kPoll, {"--help"}), dir, "help");
    EXPECT_EQ(help.wait(kRunLimit), 0);
    const std::string out = help.out();
    for (const char* option :
         {"--plugin",   "--device-id",  "--settings",  "--tcp",   "--rtu",         "--baud",
          "--parity",   "--data-bits",  "--stop-bits", "--unit",  "--timeout",     "--rounds",
          "--interval", "--record-out", "--pretty",    "--write", "--write-multi", "--retries",
          "--rs485",    "--rts",        "--rts-delay", "--quiet", "--verbose",     "--help"})
        EXPECT_NE(out.find(option), std::string::npos) << option;
}

TEST(Tools, UsageErrorsNameTheArgument) {
    ScratchDir dir;
    write_file(dir.file("bad.json"), "{\"appSetting\": ");
    write_file(dir.file("bad-image.json"), R"({"registers": {"21": 70000}})");
    write_file(dir.file("huge.json"), R"({"registers": {"21": 18446744073709551615}})");
    write_file(dir.file("deep.json"), std::string(100000, '[') + std::string(100000, ']'));
    struct Case {
        const std::string* program;
        std::vector<std::string> args;
        std::vector<std::string> named;
    };
    const Case cases[] = {
        {&kPoll, {"--unit", "300"}, {"--unit"}},
        {&kPoll, {"--rtu", "/dev/null", "--unit", "0"}, {"--unit", "serial"}},
        {&kPoll, {"--baud", "14400"}, {"--baud", "9600"}},
        {&kPoll, {"--interval", "nan"}, {"--interval"}},
        {&kPoll, {"--rounds", "99999999999999999999"}, {"--rounds"}},
        {&kPoll, {"--tcp", "::1:502"}, {"--tcp", "brackets"}},
        {&kPoll, {"--rs485"}, {"--rs485", "--rtu"}},
        {&kPoll, {"--rtu", "/dev/null", "--rts-delay", "5"}, {"--rts-delay", "--rts"}},
        {&kPoll, {"--retries", "11"}, {"--retries"}},
        {&kPoll, {"--tcp", "127.0.0.1:70000"}, {"--tcp"}},
        {&kPoll, {"--tcp", "127.0.0.1:502", "--rtu", "/dev/null"}, {"--rtu", "--tcp"}},
        {&kPoll, {"--parity", "Q"}, {"--parity"}},
        {&kPoll, {"--timeout", "soon"}, {"--timeout"}},
        {&kPoll, {"--write", "100"}, {"--write", "ADDR=VALUE"}},
        {&kPoll, {"--write", "100=1,2"}, {"--write"}},
        {&kPoll, {"--write", "100=65536"}, {"--write"}},
        {&kPoll, {"--write-multi", "100=1,x"}, {"--write-multi"}},
        {&kPoll, {"--rounds", "0", "--write", "100=1"}, {"--write", "--rounds"}},
        {&kPoll, {"--settings", dir.file("missing.json")}, {"--settings"}},
        {&kPoll, {"--settings", dir.file("bad.json")}, {"--settings", "bad.json", "JSON"}},
        {&kPoll, {"--settings", dir.file("deep.json")}, {"--settings", "deep.json", "JSON"}},
        {&kPoll, {"--settings", "/dev/zero"}, {"--settings", "/dev/zero", "regular file"}},
        {&kPoll, {"--plugin", dir.file("none.so")}, {"--plugin", "none.so"}},
        {&kPoll, {"--frobnicate"}, {"--frobnicate"}},
        {&kSim, {"--image", dir.file("bad-image.json")}, {"--image", "\"21\""}},
        {&kSim, {"--tcp", "nowhere:port"}, {"--tcp"}},
        {&kSim, {"--image", dir.file("huge.json")}, {"--image", "\"21\""}},
        {&kSim, {"--image", dir.file("deep.json")}, {"--image", "deep.json", "JSON"}},
        {&kSim, {"--image", "/dev/zero"}, {"--image", "regular file"}},
        {&kSim, {"--unit", "300"}, {"--unit"}},
        {&kSim, {"--mute-for", "3"}, {"--mute-for", "--mute-after"}},
        {&kSim, {"--delay-count", "3"}, {"--delay-count", "--delay-ms"}},
        {&kSim, {"--drop-rate", "inf"}, {"--drop-rate"}},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        Child child(tool(*c.program, c.args), dir, "usage");
        EXPECT_EQ(child.wait(kRunLimit), 2);
        const std::string err = child.err();
        for (const std::string& name : c.named) EXPECT_NE(err.find(name), std::string::npos) << err;
        EXPECT_EQ(child.out(), "");
    }
}
