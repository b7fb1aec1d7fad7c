#include "tests/tools/child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

extern char** environ;

namespace tool_tests {

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/qtool.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool wait_until(const std::function<bool()>& done, milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

Child::Child(std::vector<std::string> argv, const ScratchDir& dir, const std::string& name)
    : out_(dir.file(name + ".out")), err_(dir.file(name + ".err")) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Child::~Child() {
    // Asked first, so that a server can clean up after itself.
    signal(SIGTERM);
    wait(milliseconds(3000));
}

bool Child::running() {
    if (pid_ == -1) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return false;
    }
    return true;
}

void Child::signal(int number) {
    if (running()) kill(pid_, number);
}

int Child::wait(milliseconds limit) {
    if (pid_ == -1) return status_;
    if (!wait_until([this] { return !running(); }, limit)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }
    return status_;
}

std::vector<std::string> tool(const std::string& path, std::vector<std::string> args) {
    std::vector<std::string> argv;
    std::istringstream emulator(QUILLARK_EMULATOR);
    for (std::string part; std::getline(emulator, part, '|');)
        if (!part.empty()) argv.push_back(part);
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::Value value;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors << "\n" << text;
    return value;
}

}  // namespace tool_tests
