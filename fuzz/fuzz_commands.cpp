// The command interface with arbitrary codes, input and output buffers and
// lengths, on a driver that has completed zero, one or two poll rounds.
//
// Input bytes, read from the front (zeros once they run out):
//   rounds        1 byte, modulo 3: poll rounds before the commands
//   unit image    1 byte of input bits 1..8, 1 word for input register 21
//   then, until the bytes run out, one command each:
//     code        1 byte: below 240 one of 206 210 310 320 801 803 802 0 -1 805
//                 (modulo 10), else a 32-bit code follows
//     flags       1 byte: bit 0 no input buffer, bit 1 no output buffer
//     input       u16 size (modulo 600), that many bytes, a length mode (below)
//     output      u16 capacity (modulo 8192), a length mode
//   length mode   1 byte modulo 5: 0 whole buffer, 1 whole minus the next byte,
//                 2 zero, 3 negative (next 4 bytes), 4 the next 4 bytes, at
//                 most the whole buffer
#include "tests/support/fakes.h"
#include "fuzz/fuzz_io.h"
#include "host/standin/master.h"
#include "quillark/quillark.h"

namespace {

// The unit's image as the input sets it, answered at once: unlike the tests'
// scripted unit it keeps no log of requests, which would cost an allocation
// per read.
class ImageUnit : public standin::Transport {
public:
    standin::Outcome execute(const ModbusRequest& request, std::uint8_t* bits,
                             std::uint16_t* words) override {
        for (int i = 0; i < request.count; ++i) {
            const int address = request.address + i;
            if (request.function == ModbusRequest::ReadInputBits)
                bits[i] = address >= 1 && address <= 8 ? (input_bits >> (address - 1)) & 1 : 0;
            else words[i] = address == 21 ? register_21 : 0;
        }
        return {};
    }

    std::uint8_t input_bits = 0;  // input bits 1..8
    std::uint16_t register_21 = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_driver_run();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    fuzz::start_input();
    ImageUnit unit;
    standin::Master master(unit);
    Quillark dev;

    const int rounds = in.byte() % 3;
    unit.input_bits = in.byte();
    unit.register_21 = in.u16();
    for (int round = 0; round < rounds; ++round) {
        master.run_round(dev);
        testing_support::TestClock::advance(boost::posix_time::seconds(1));
    }

    fuzz::DocState doc;
    while (!in.empty()) fuzz::issue(dev, fuzz::pick_code(in), in, doc);
    return 0;
}
