// quillark-sim's command line: arbitrary arguments, NUL-separated. Whatever
// the parser accepts must be settings the simulator can serve with.
#include <algorithm>
#include <ostream>

#include "hostkit/common/args.h"
#include "fuzz/fuzz_args.h"
#include "fuzz/fuzz_io.h"
#include "tools/sim/sim_options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Arguments args("quillark-sim", data, size);
    std::ostream nowhere(nullptr);
    static quillark_sim::SimCommandLine command_line;  // built once, as in fuzz_poll_args
    const int status = command_line.parse(args.argc(), args.argv(), nowhere, nowhere);
    const quillark_sim::SimOptions& o = command_line.options();
    FUZZ_CHECK(status == -1 || status == 0 || status == 2);
    if (status != -1) return 0;

    const standin::LinkSettings& link = o.server.link;
    const auto& speeds = quillark_tools::serial_speeds();
    FUZZ_CHECK(std::find(speeds.begin(), speeds.end(), link.baud) != speeds.end());
    FUZZ_CHECK(link.parity == 'N' || link.parity == 'E' || link.parity == 'O');
    if (link.kind == standin::LinkSettings::Kind::Rtu)
        FUZZ_CHECK(link.unit >= 1 && link.unit <= 247);
    else FUZZ_CHECK(!link.host.empty() && !link.port.empty());
    const quillark_sim::FaultPlan& f = o.faults;
    FUZZ_CHECK(f.drop_rate >= 0 && f.drop_rate <= 1);
    FUZZ_CHECK(f.delay_ms >= 0 && f.delay_ms <= 60000);
    FUZZ_CHECK(f.mute_for == 0 || f.mute_after >= 0);
    for (int a : f.fail_addresses) FUZZ_CHECK(a >= 0 && a <= 65535);
    return 0;
}
