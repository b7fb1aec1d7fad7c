#include "tools/poll/poller.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "hostkit/builtin_units.h"
#include "hostkit/driver.h"
#include "hostkit/common/files.h"
#include "host/standin/master.h"
#include "tools/poll/stop.h"

namespace quillark_poll {

namespace {

using Clock = std::chrono::steady_clock;
using quillark_kit::Plugin;
using quillark_tools::RegisterWrite;

std::atomic<int> g_signal{0};

std::string format_ms(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms",
                  std::chrono::duration<double, std::milli>(d).count());
    return text;
}

std::string describe(const RegisterWrite& write) {
    std::string text = write.kind == RegisterWrite::Kind::Multiple ? "write-multi " : "write ";
    text += std::to_string(write.address) + "=";
    for (std::size_t i = 0; i < write.values.size(); ++i)
        text += (i ? "," : "") + std::to_string(write.values[i]);
    return text;
}

// "read of input registers at 21 (function 4)": the poll step as a person
// looks it up, by protocol address.
std::string describe(ModbusRequest::Function function, int address) {
    const char* what = function == ModbusRequest::ReadInputBits        ? "read of input bits"
                       : function == ModbusRequest::ReadInputRegisters ? "read of input registers"
                                                                       : "write of registers";
    return std::string(what) + " at " + std::to_string(address) + " (function " +
           std::to_string(function) + ")";
}

// A run's end that is not a plain failure: the exit status to give.
struct Stop {
    int status;
};

std::unique_ptr<Plugin> load_plugin(const std::string& named) {
    const quillark_kit::PluginChoice choice = quillark_kit::find_plugin(named);
    if (choice.path.empty()) {
        say("no quillark.so found (looked for " + choice.tried + "); name one with --plugin");
        throw Stop{kExitFailed};
    }
    try {
        return std::make_unique<Plugin>(choice.path);
    } catch (const quillark_kit::PluginError& e) {
        say(std::string(choice.named ? "--plugin: " : "") + "cannot load " + choice.path + ": " +
            e.what());
        throw Stop{choice.named ? kExitUsage : kExitFailed};
    }
}

class Poller {
public:
    explicit Poller(const PollOptions& options) : o_(options) { summary_.rounds_asked = o_.rounds; }
    ~Poller() { driver_.reset(); }  // the driver's code lives in the plug-in
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    int run();

private:
    void start_builtin_unit();
    bool load_driver(const Json::Value& settings);
    void poll_rounds();
    void round_done(long round, const standin::PumpResult& result, Clock::duration took);
    void round_failed(long round, const standin::PumpResult& result);
    void publish();
    int send(const RegisterWrite& write);  // the driver's verdict (quillark::WriteOutcome)
    void progress(const std::string& line) const {
        if (!o_.quiet) say(line);
    }

    const PollOptions& o_;
    RunSummary summary_;
    DocumentOut documents_{o_.quiet};
    standin::LinkSettings link_ = o_.link;
    std::unique_ptr<quillark_kit::BuiltinUnits> builtin_;
    std::unique_ptr<standin::ModbusTransport> transport_;
    std::unique_ptr<standin::Master> master_;
    std::unique_ptr<Plugin> plugin_;
    std::unique_ptr<quillark_kit::Driver> driver_;
    std::vector<char> status_buffer_;
    // The failed rounds in a row, what was last said about them, and the
    // failed attempts to reopen the link so far.
    long failing_ = 0;
    Clock::time_point failing_since_;
    std::string said_;
    long failed_opens_ = 0;
};

int Poller::run() {
    Json::Value settings;
    if (!o_.settings_file.empty()) {
        try {
            settings = quillark_tools::read_json_file(o_.settings_file);
        } catch (const std::runtime_error& e) {
            say(std::string("--settings: ") + e.what());
            return kExitUsage;
        }
    }
    plugin_ = load_plugin(o_.plugin);
    if (o_.builtin_unit) start_builtin_unit();
    transport_ = std::make_unique<standin::ModbusTransport>(link_);
    transport_->set_wakeup(&stop_wakeup());
    if (o_.verbose)
        transport_->set_trace([](bool sent, const std::uint8_t* adu, std::size_t length) {
            say(trace_line(sent, adu, length));
        });
    master_ = std::make_unique<standin::Master>(*transport_, link_.retries);
    if (!load_driver(settings)) return kExitFailed;

    poll_rounds();
    std::size_t sent = 0;
    for (; sent < o_.writes.size() && !stop_requested() && !summary_.output_failed; ++sent)
        summary_.write_results.push_back(send(o_.writes[sent]));

    const long tried = summary_.complete + summary_.failed;
    const bool cut_short = o_.rounds > 0 && (tried < o_.rounds || sent < o_.writes.size());
    if (cut_short && stop_requested()) summary_.stop_signal = g_signal.load();
    const standin::LinkStats& stats = transport_->stats();
    progress(std::to_string(summary_.complete) + " rounds complete, " +
             std::to_string(summary_.failed) + " failed; " + std::to_string(stats.requests) +
             " requests, " + std::to_string(stats.retries) + " retries, " +
             std::to_string(stats.timeouts) + " timeouts, " + std::to_string(stats.reconnects) +
             " reconnects");
    return exit_status(summary_);
}

void Poller::start_builtin_unit() {
    builtin_ = std::make_unique<quillark_kit::BuiltinUnits>(1, link_.unit);
    link_.kind = standin::LinkSettings::Kind::Tcp;
    link_.host = "127.0.0.1";
    link_.port = std::to_string(builtin_->port());
    progress("no --tcp or --rtu given: polling the built-in simulated unit on " +
             builtin_->where());
}

bool Poller::load_driver(const Json::Value& settings) {
    try {
        driver_ = std::make_unique<quillark_kit::Driver>(*plugin_, o_.device_id, settings);
    } catch (const quillark_kit::PluginError& e) {
        say(e.what());
        return false;
    }
    progress("loaded " + plugin_->path() + " with dlopen; driver \"" + driver_->device_type() +
             "\", device id " + std::to_string(o_.device_id) + "; polling " + link_.describe());
    return true;
}

void Poller::poll_rounds() {
    const auto rest =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.interval_s));
    for (long round = 1; o_.rounds == 0 || round <= o_.rounds; ++round) {
        if (round > 1 && !wait_for_stop_until(Clock::now() + rest)) break;
        if (stop_requested() || summary_.output_failed) break;
        const auto start = Clock::now();
        const quillark_kit::Driver::Round done = driver_->run_round(*master_);
        const auto took = Clock::now() - start;
        if (done.complete) round_done(round, done.result, took);
        else if (!stop_requested()) round_failed(round, done.result);
    }
}

void Poller::round_done(long round, const standin::PumpResult& result, Clock::duration took) {
    ++summary_.complete;
    if (failing_ > 0) {
        const auto down = std::chrono::duration<double>(Clock::now() - failing_since_).count();
        char text[96];
        std::snprintf(text, sizeof text, "link back after %.1f s (%ld rounds failed)", down,
                      failing_);
        say(text);
        failing_ = 0;
        said_.clear();
    }
    progress("round " + std::to_string(round) + ": ok, " + std::to_string(result.requests) +
             " requests in " + format_ms(took));
    publish();
}

void Poller::round_failed(long round, const standin::PumpResult& result) {
    ++summary_.failed;
    std::string cause = standin::to_string(result.outcome.status);
    if (!result.outcome.error.empty()) cause += " (" + result.outcome.error + ")";
    // During an outage the same cause repeats every round: say it on the
    // first failed round, then once per failed attempt to reopen the link and
    // when the kind of failure changes.
    const std::string gist = standin::to_string(result.outcome.status);
    const long opens = transport_->stats().failed_opens;
    const bool attempt = opens != failed_opens_;
    failed_opens_ = opens;
    if (failing_++ == 0) failing_since_ = Clock::now();
    if (gist == said_ && !attempt) return;
    said_ = gist;
    std::string line = "round " + std::to_string(round) + " failed";
    if (result.requests > 0 && result.outcome.status != standin::Status::LinkDown)
        line += " at request " + std::to_string(result.requests) + ", " +
                describe(result.function, result.address);
    say(line + ": " + cause);
}

void Poller::publish() {
    if (!o_.record_out.empty()) {
        const auto& record = driver_->last_record();
        try {
            quillark_tools::save_beside(o_.record_out, std::string(record.begin(), record.end()));
        } catch (const std::runtime_error& e) {
            say(std::string("--record-out: cannot write: ") + e.what());
            summary_.output_failed = true;
        }
    }
    const std::string text = driver_->status_text(status_buffer_);
    if (text.empty()) throw std::runtime_error("the driver gave no status document");
    if (documents_.write(o_.pretty ? pretty_document(text) : text)) return;
    if (errno == EPIPE) {
        // The reader has gone: end as any tool at the head of a pipe does.
        signal(SIGPIPE, SIG_DFL);
        raise(SIGPIPE);
    }
    say(std::string("stdout: cannot write the status document: ") + std::strerror(errno));
    summary_.output_failed = true;
}

int Poller::send(const RegisterWrite& write) {
    const quillark_kit::Driver::WriteResult result = driver_->write(*master_, write);
    const int verdict = result.verdict;
    const standin::PumpResult& sent = result.sent;

    std::string line = describe(write) + ": ";
    if (verdict == quillark::Confirmed) line += "confirmed by the unit";
    else if (verdict == quillark::NotConfirmed) line += "answered but not confirmed";
    else line += "no answer";
    if (verdict != quillark::Confirmed && sent.requests > 0) {
        line += " (" + std::string(standin::to_string(sent.outcome.status));
        if (!sent.outcome.error.empty()) line += ": " + sent.outcome.error;
        line += ")";
    }
    if (verdict == quillark::Confirmed) progress(line);
    else say(line);
    return verdict;
}

}  // namespace

int exit_status(const RunSummary& run) {
    const auto& w = run.write_results;
    const bool unanswered = std::any_of(w.begin(), w.end(), [](int r) { return r != 1 && r != 3; });
    if (run.complete == 0 || unanswered || run.output_failed) return kExitFailed;
    if (std::find(w.begin(), w.end(), 3) != w.end()) return kExitNotConfirmed;
    if (run.rounds_asked > 0 && run.stop_signal != 0) return 128 + run.stop_signal;
    if (run.rounds_asked > 0 && run.failed > 0) return kExitSomeFailed;
    return kExitOk;
}

int run_poller(const PollOptions& options) {
    try {
        Poller poller(options);
        return poller.run();
    } catch (const Stop& stop) {
        return stop.status;
    }
}

void stop_poller(int signal_number) noexcept {
    g_signal.store(signal_number);
    request_stop();
}

}  // namespace quillark_poll
