// quillark-sim: a Modbus server that behaves like the in-row air-conditioning
// unit, for trying the driver and the poller without the real unit.
#include <signal.h>

#include <atomic>
#include <iostream>
#include <memory>

#include "hostkit/common/files.h"
#include "hostkit/simunit/row.h"
#include "tools/sim/sim_options.h"
#include "hostkit/common/version.h"

namespace {

std::atomic<quillark_sim::Server*> g_server{nullptr};

extern "C" void on_stop_signal(int) {
    if (quillark_sim::Server* server = g_server.load()) server->stop();
}

}  // namespace

int main(int argc, char** argv) {
    quillark_sim::SimCommandLine command_line;
    if (const int status = command_line.parse(argc, argv, std::cout, std::cerr); status >= 0)
        return status;
    const quillark_sim::SimOptions& o = command_line.options();
    if (o.version) {
        std::cout << quillark_tools::version_line("quillark-sim") << std::endl;
        return 0;
    }

    quillark_sim::Image image = quillark_sim::Image::standard();
    if (!o.image_file.empty()) {
        try {
            image.apply_file(o.image_file);
        } catch (const std::exception& e) {
            std::cerr << "quillark-sim: --image: " << e.what() << "\n";
            return 2;
        }
    }

    signal(SIGPIPE, SIG_IGN);
    const bool serial = o.server.link.kind == standin::LinkSettings::Kind::Rtu;
    const int first = o.server.link.unit;
    try {
        // Rounds mode logs the first unit's rounds; the others serve as usual.
        std::unique_ptr<quillark_sim::RoundLog> round_log;
        if (!o.round_log.empty()) round_log = std::make_unique<quillark_sim::RoundLog>(o.round_log);
        // One simulated unit per unit id served, each at its own point of the drift.
        quillark_sim::UnitRow row(image, o.last_unit - first + 1, o.steady, o.faults,
                                  round_log != nullptr);
        row.front().set_round_log(round_log.get());
        quillark_sim::Server server(row.units(), o.server);
        g_server = &server;
        quillark_tools::on_stop_signals(on_stop_signal);

        // Written beside and renamed, so a reader never sees half a number.
        if (!o.port_file.empty())
            quillark_tools::save_beside(o.port_file, std::to_string(server.port()) + "\n");
        std::cout << "quillark-sim: unit " << first
                  << (o.last_unit > first ? "-" + std::to_string(o.last_unit) : "")
                  << " listening on " << (serial ? "rtu " : "tcp ") << server.where() << std::endl;
        server.run();
        g_server = nullptr;
        std::cerr << "quillark-sim: stopped after " << row.requests() << " requests\n";
    } catch (const std::exception& e) {
        g_server = nullptr;
        std::cerr << "quillark-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
