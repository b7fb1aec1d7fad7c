// The fault harness's helper, built on the driver and the stand-in host:
//
//   fault_tool docs ROUND_LOG DOCUMENTS
//     Renders, with the driver's own status document, every round the unit
//     logged it served, and checks each printed document against them: a
//     document must equal a served round later than the one the document
//     before it matched (the update time aside, which comes from the
//     poller's clock), or repeat that document with the same update time.
//     Prints "served_rounds S documents N matched M repeated P wrong W"
//     (the driver's own "rvSize" lines share stdout).
//
//   fault_tool writes tcp HOST PORT | rtu DEVICE  SECONDS TIMEOUT_MS
//     One thread polls rounds through the driver while another sends 206 and
//     210 writes with values no other write carries, and prints each write
//     with the driver's verdict when the next write replaces it (or at the
//     end): "V <verdict> <function> <address> <values>".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>

#include <boost/date_time/gregorian/gregorian_types.hpp>

#include "device/local_clock.h"
#include "host/standin/master.h"
#include "host/standin/modbus_transport.h"
#include "quillark/points.h"
#include "quillark/quillark.h"
#include "host/tessel_controller.h"

namespace {

using Clock = std::chrono::steady_clock;

bool parse_json(const std::string& text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &out, &errors) && out.isObject();
}

// The document without its update time, which the poller's clock sets.
bool comparable(const std::string& text, Json::Value& out) {
    if (!parse_json(text, out)) return false;
    out.removeMember(quillark::kUpdateTimeKey);
    return true;
}

std::string status_text(SPModbus& device) {
    std::vector<char> buffer(64 * 1024);
    int size = 0;
    if (device.DeviceIoControl(IoGetStatusText, nullptr, 0, buffer.data(),
                               static_cast<int>(buffer.size()), size) != 0 ||
        size < 0 || static_cast<std::size_t>(size) > buffer.size())
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(size));
}

using Record = std::vector<unsigned char>;

struct Served {
    long round;
    Record record;
    Json::Value document;
};

// Each rendered record gets a data time of its own, a second after the one
// before, so the driver renders every one of them.
boost::posix_time::ptime g_round_time(boost::gregorian::date(2026, 1, 1));
boost::posix_time::ptime round_clock() { return g_round_time; }

// The driver's document for a record, as a status request would see it.
class Renderer {
public:
    Renderer() {
        device::set_clock_source(round_clock);
        device_.Init(host_, 1, Json::Value());
    }
    bool render(const Record& record, Json::Value& document) {
        g_round_time += boost::posix_time::seconds(1);
        device_.LoadFromCache(record.data(), static_cast<int>(record.size()));
        return comparable(status_text(device_), document);
    }

private:
    std::shared_ptr<TesselController> host_ = std::make_shared<TesselController>();
    Quillark device_;
};

std::vector<Served> render_served(const std::string& log_path, Renderer& renderer) {
    std::vector<Served> served;
    std::ifstream log(log_path);
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream fields(line);
        std::string tag, hex;
        long round = 0;
        if (!(fields >> tag >> round >> hex) || tag != "R" ||
            hex.size() != 2 * (sizeof(Quillark_Data_t) - 11))
            continue;
        Served entry{round, Record(sizeof(Quillark_Data_t), 0), {}};
        for (std::size_t i = 0; i < hex.size() / 2; ++i)
            entry.record[quillark::kInputsOffset + i] =
                static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        if (renderer.render(entry.record, entry.document)) served.push_back(std::move(entry));
    }
    return served;
}

// For a wrong document near served round `at`: the one read whose answer,
// taken from another read of the same kind and size in a round close by,
// turns that round into the document.
std::string explain(const std::vector<Served>& served, std::size_t at, const Json::Value& document,
                    Renderer& renderer) {
    using quillark::kPollReads;
    using quillark::kReadOffsets;
    const std::size_t first = at < 3 ? 0 : at - 3;
    for (std::size_t i = 0; i < kPollReads.size(); ++i) {
        for (std::size_t k = first; k < served.size() && k <= at + 3; ++k) {
            for (std::size_t j = 0; j < kPollReads.size(); ++j) {
                if (kPollReads[j].kind != kPollReads[i].kind ||
                    kPollReads[j].count != kPollReads[i].count || (k == at && i == j))
                    continue;
                Record mixed = served[at].record;
                std::copy_n(served[k].record.begin() + static_cast<long>(kReadOffsets[j]),
                            kPollReads[i].width(),
                            mixed.begin() + static_cast<long>(kReadOffsets[i]));
                Json::Value rendered;
                if (renderer.render(mixed, rendered) && rendered == document)
                    return "; read " + std::to_string(i) + " took the answer to read " +
                           std::to_string(j) + " of round " + std::to_string(served[k].round);
            }
        }
    }
    // Or a round whose reads from `split` on were answered from another round.
    for (std::size_t k = first; k < served.size() && k <= at + 3; ++k) {
        for (std::size_t split = 1; split < kPollReads.size() && k != at; ++split) {
            Record mixed = served[at].record;
            std::copy(served[k].record.begin() + static_cast<long>(kReadOffsets[split]),
                      served[k].record.begin() + static_cast<long>(kReadOffsets.back()),
                      mixed.begin() + static_cast<long>(kReadOffsets[split]));
            Json::Value rendered;
            if (renderer.render(mixed, rendered) && rendered == document)
                return "; reads from " + std::to_string(split) + " on answered from round " +
                       std::to_string(served[k].round);
        }
    }
    return "";
}

// The served round nearest to a wrong document, and the members that differ.
std::string closest(const std::vector<Served>& served, const Json::Value& document,
                    Renderer& renderer) {
    if (!document.isObject()) return "not a JSON object";
    std::size_t best = served.size();
    std::vector<std::string> best_diff;
    for (std::size_t i = 0; i < served.size(); ++i) {
        std::vector<std::string> diff;
        for (const std::string& key : document.getMemberNames())
            if (served[i].document[key] != document[key]) diff.push_back(key);
        if (best == served.size() || diff.size() < best_diff.size()) {
            best = i;
            best_diff = diff;
        }
    }
    if (best == served.size()) return "no round served";
    std::string text = "nearest round " + std::to_string(served[best].round) + ", " +
                       std::to_string(best_diff.size()) + " members differ:";
    Json::StreamWriterBuilder compact;
    compact["indentation"] = "";
    auto shown = [&compact](const Json::Value& value) {
        const std::string written = Json::writeString(compact, value);
        return written.size() > 40 ? written.substr(0, 37) + "..." : written;
    };
    for (std::size_t i = 0; i < best_diff.size() && i < 4; ++i)
        text += " " + best_diff[i] + " served " + shown(served[best].document[best_diff[i]]) +
                " printed " + shown(document[best_diff[i]]) + ";";
    return text + explain(served, best, document, renderer);
}

int check_documents(const std::string& log_path, const std::string& docs_path) {
    Renderer renderer;
    const std::vector<Served> served = render_served(log_path, renderer);

    std::ifstream docs(docs_path);
    std::string line;
    long documents = 0, matched = 0, repeated = 0, wrong = 0;
    std::size_t next = 0;  // the first served round a new document may match
    std::string last_time;
    while (std::getline(docs, line)) {
        ++documents;
        Json::Value document;
        Json::Value whole;
        std::size_t found = served.size();
        std::string time;
        if (parse_json(line, whole)) {
            time = whole[quillark::kUpdateTimeKey].asString();
            comparable(line, document);
            // Two rounds completed within one second share their data time,
            // and the driver renders once per data time: the document of the
            // earlier round is served again, with its own time.
            if (next > 0 && time == last_time && served[next - 1].document == document) {
                ++repeated;
                continue;
            }
            for (std::size_t i = next; i < served.size() && found == served.size(); ++i)
                if (served[i].document == document) found = i;
        }
        if (found == served.size()) {
            ++wrong;
            if (wrong <= 5)
                std::cerr << "WRONG document " << documents << ": "
                          << closest(served, document, renderer) << "\n";
            continue;
        }
        ++matched;
        next = found + 1;
        last_time = time;
    }
    std::cout << "served_rounds " << served.size() << " documents " << documents << " matched "
              << matched << " repeated " << repeated << " wrong " << wrong << std::endl;
    return 0;
}

// Polls rounds and sends writes from two threads; the verdicts go to stdout.
int write_stress(const standin::LinkSettings& link, double seconds) {
    auto host = std::make_shared<TesselController>();
    Quillark device;
    device.Init(host, 1, Json::Value());
    standin::ModbusTransport transport(link);
    standin::Master master(transport, link.retries);
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    std::atomic<long> passes{0};
    std::atomic<bool> done{false};

    std::thread poller([&] {
        while (!done) {
            master.run_round(device);
            master.pump(device);  // a write queued after the round ended
            ++passes;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // The verdict the driver gives for a write, asked just before the next
    // write replaces it: pending (-1) if the write is still in flight.
    auto report = [&device](const std::vector<std::uint16_t>& words, bool multi) {
        std::int32_t verdict = -1;
        int size = 0;
        standin::command(device, 802, nullptr, 0, &verdict, sizeof verdict, size);
        std::printf("V %d %d %d", verdict, multi ? 16 : 6, words[0]);
        for (std::size_t i = 1; i < words.size(); ++i) std::printf(" %d", words[i]);
        std::printf("\n");
        std::fflush(stdout);
    };
    std::minstd_rand pace(static_cast<unsigned>(link.timeout_ms));
    std::vector<std::uint16_t> words;
    bool multi = false;
    for (long written = 1; Clock::now() < end; ++written) {
        if (!words.empty()) report(words, multi);
        multi = written % 2 == 0;
        // What the driver compares is the echoed value (206) or count (210):
        // neighbouring writes share those, and differ in their address, so a
        // late echo of one taken for the next would confirm it. No two writes
        // of a run carry the same address and values, so the unit's log tells
        // which write it really received.
        const auto round_trip = static_cast<std::uint16_t>(written / 290);
        words.assign(1, static_cast<std::uint16_t>(1 + written % 290));
        if (multi) {
            const int count = 1 + static_cast<int>((written / 6) % 4);
            for (int i = 0; i < count; ++i)
                words.push_back(static_cast<std::uint16_t>((written * 4 + i) & 0xFFFF));
        } else {
            words.push_back(static_cast<std::uint16_t>(1000 + round_trip));
        }
        int unused = 0;
        standin::command(device, multi ? IoWriteRegisters : IoWriteRegister, words.data(),
                         static_cast<int>(words.size() * 2), nullptr, 0, unused);
        // Every third write waits for two whole passes of the polling thread,
        // so it goes out and is judged (or is superseded by the next round);
        // the others are replaced after up to two response timeouts, in
        // flight or not, so late answers meet newer writes.
        if (written % 3 == 0) {
            const long seen = passes.load();
            while (passes.load() < seen + 2 && Clock::now() < end + std::chrono::seconds(10))
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } else {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(pace() % (2 * link.timeout_ms + 1)));
        }
    }
    if (!words.empty()) {
        const long seen = passes.load();
        while (passes.load() < seen + 2 && Clock::now() < end + std::chrono::seconds(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        report(words, multi);
    }
    done = true;
    poller.join();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "docs") return check_documents(args[1], args[2]);
    if (args.size() >= 5 && args[0] == "writes") {
        standin::LinkSettings link;
        std::size_t at = 2;
        if (args[1] == "tcp" && args.size() == 6) {
            link.host = args[2];
            link.port = args[3];
            at = 4;
        } else if (args[1] == "rtu" && args.size() == 5) {
            link.kind = standin::LinkSettings::Kind::Rtu;
            link.device = args[2];
            at = 3;
        } else {
            at = 0;
        }
        if (at != 0) {
            link.timeout_ms = std::stoi(args[at + 1]);
            return write_stress(link, std::stod(args[at]));
        }
    }
    std::cerr << "usage: fault_tool docs ROUND_LOG DOCUMENTS\n"
                 "       fault_tool writes (tcp HOST PORT | rtu DEVICE) SECONDS TIMEOUT_MS\n";
    return 2;
}
