// What a user sees of the release: --version, and a plug-in that cannot be used.
#include <algorithm>

#include <gtest/gtest.h>

#include "tests/tools/child.h"

using namespace tool_tests;
using namespace std::chrono_literals;

namespace {

const std::string kPoll = QUILLARK_POLL;
const std::string kSim = QUILLARK_SIM;
const std::string kRelease = std::string("quillark ") + QUILLARK_TEST_VERSION;

}  // namespace

TEST(Release, VersionNamesTheToolAndThePluginItLoads) {
    ScratchDir dir;
    Child sim(tool(kSim, {"--version"}), dir, "sim");
    EXPECT_EQ(sim.wait(30s), 0);
    EXPECT_EQ(sim.out().rfind("quillark-sim " QUILLARK_TEST_VERSION, 0), 0u) << sim.out();

    Child poll(tool(kPoll, {"--version"}), dir, "poll");
    EXPECT_EQ(poll.wait(30s), 0);
    const std::string out = poll.out();
    EXPECT_EQ(out.rfind("quillark-poll " QUILLARK_TEST_VERSION, 0), 0u) << out;
    EXPECT_NE(out.find("quillark.so: " + kRelease), std::string::npos) << out;
}

// A plug-in path that is missing, not a shared object, or a shared object
// without the entry point: one line naming the file, exit status 2, for a
// poll and for --version alike.
TEST(Release, UnusablePluginIsOneClearLineAndAUsageError) {
    ScratchDir dir;
    write_file(dir.file("text.so"), "not a shared object\n");
    struct Case {
        std::string path;
        std::string says;
    };
    const Case cases[] = {
        {dir.file("missing.so"), "No such file"},
        {dir.file("text.so"), "text.so"},
        {QUILLARK_STANDIN_HOST, "get_providers"},
    };
    for (const Case& c : cases) {
        for (const bool version : {false, true}) {
            SCOPED_TRACE(c.path + (version ? " --version" : ""));
            std::vector<std::string> args{"--plugin", c.path};
            if (version) args.push_back("--version");
            Child child(tool(kPoll, args), dir, "poll");
            EXPECT_EQ(child.wait(30s), 2);
            const std::string err = child.err();
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            EXPECT_NE(err.find(c.path), std::string::npos) << err;
            EXPECT_NE(err.find(c.says), std::string::npos) << err;
        }
    }
}
