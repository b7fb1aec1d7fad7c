// Child processes for the tools' integration tests: spawned with their output
// in files, waited for with a time limit, and never left behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

#include "tests/support/fakes.h"

namespace tool_tests {

using std::chrono::milliseconds;

// A scratch directory, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

using testing_support::read_file;
void write_file(const std::string& path, const std::string& text);
bool exists(const std::string& path);

// Polls `done` every 20 ms until it holds or `limit` has passed.
bool wait_until(const std::function<bool()>& done, milliseconds limit);

class Child {
public:
    // Runs argv[0] (found on PATH) with stdin from /dev/null and stdout and
    // stderr in `dir` under `name`.out / `name`.err.
    Child(std::vector<std::string> argv, const ScratchDir& dir, const std::string& name);
    ~Child();  // kills the child if it still runs
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running();
    void signal(int number);
    pid_t pid() const { return pid_; }  // -1 once it was waited for
    // The exit status, or -1 if the child had to be killed at the limit.
    int wait(milliseconds limit);
    std::string out() const { return read_file(out_); }
    std::string err() const { return read_file(err_); }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_;
    std::string err_;
};

// The tools as the build made them, run under the emulator when the build is
// a cross build.
std::vector<std::string> tool(const std::string& path, std::vector<std::string> args);

// A tool's JSON output, parsed; a test failure (with the text) if it is not JSON.
Json::Value parse_json(const std::string& text);

}  // namespace tool_tests
