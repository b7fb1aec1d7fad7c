// quillark-poll's command line: arbitrary arguments, NUL-separated. Whatever
// the parser accepts must be settings the poller can run with.
#include <algorithm>
#include <cmath>
#include <ostream>

#include "hostkit/common/args.h"
#include "fuzz/fuzz_args.h"
#include "fuzz/fuzz_io.h"
#include "tools/poll/poll_options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Arguments args("quillark-poll", data, size);
    std::ostream nowhere(nullptr);
    // Built once: building the parser costs more than a parse, and each parse
    // starts from the defaults.
    static quillark_poll::PollCommandLine command_line;
    const int status = command_line.parse(args.argc(), args.argv(), nowhere, nowhere);
    const quillark_poll::PollOptions& o = command_line.options();
    FUZZ_CHECK(status == -1 || status == 0 || status == 2);
    if (status != -1) return 0;

    const standin::LinkSettings& link = o.link;
    const auto& speeds = quillark_tools::serial_speeds();
    FUZZ_CHECK(std::find(speeds.begin(), speeds.end(), link.baud) != speeds.end());
    FUZZ_CHECK(link.parity == 'N' || link.parity == 'E' || link.parity == 'O');
    FUZZ_CHECK(link.data_bits >= 5 && link.data_bits <= 8);
    FUZZ_CHECK(link.stop_bits == 1 || link.stop_bits == 2);
    if (link.kind == standin::LinkSettings::Kind::Rtu)
        FUZZ_CHECK(link.unit >= 1 && link.unit <= 247);
    else FUZZ_CHECK(link.unit >= 0 && link.unit <= 255);
    FUZZ_CHECK(link.timeout_ms >= 1 && link.timeout_ms <= 600000);
    FUZZ_CHECK(o.rounds >= 0);
    FUZZ_CHECK(std::isfinite(o.interval_s) && o.interval_s >= 0 && o.interval_s <= 86400);
    FUZZ_CHECK(o.rounds > 0 || o.writes.empty());
    for (const auto& w : o.writes) {
        FUZZ_CHECK(!w.values.empty() && w.values.size() <= ModbusRequest::kMaxWriteRegisters);
        FUZZ_CHECK(w.address >= 0 && w.address + static_cast<long>(w.values.size()) <= 65536);
    }
    return 0;
}
