// The driver as the host drives it, in any order: poll rounds, replies under
// any tag with any buffer contents, commands, cache reloads, status requests,
// value queries and a clock that moves either way. Every step is checked
// against a model of the record and of the round's end.
//
// Input bytes, read from the front (zeros once they run out): operations, each
// one byte (modulo 9) followed by its own bytes:
//   0  RefreshStatus
//   1  a reply: tag mode (modulo 8: 0-3 the tag as it stands, 4 poll step
//      11 + next byte modulo 46, 5 206, 6 210, 7 the next 4 bytes), table
//      byte, bit count (modulo 40) and bytes for bit_buf, byte count (modulo
//      80) and bytes for reg_buf, reply length byte
//   2  a control command: 1 byte picks 206 210 310 320 (modulo 4), then flags,
//      input and output as in fuzz_commands
//   3  a cache reload: mode (modulo 5: 0 a 187-byte image, 1 an image of u16
//      modulo 400 bytes, 2 the same with a length mode, 3 no bytes and a
//      32-bit length, 4 the image as a string), then the image bytes
//   4  801, 5 803, 6 a result query (code 802): flags and buffers as above
//   7  the clock moves by a signed byte of seconds
//   8  a value query
#include <array>
#include <stdexcept>

#include "tests/support/fakes.h"
#include "fuzz/fuzz_io.h"
#include "quillark/quillark.h"
#include "quillark/record.h"

namespace {

using quillark::kFirstPollStep;
using quillark::kLastPollStep;
using quillark::kPollReads;
using quillark::kReadOffsets;
using quillark::ReadKind;

constexpr std::size_t kRecordSize = sizeof(Quillark_Data_t);
constexpr std::size_t kStampOffset = 180;

struct Model {
    std::array<std::uint8_t, kRecordSize> record{};
    bool data_ready = false;
    boost::posix_time::ptime data_time;

    // What the end of a round does to the record: the stamp, nothing else.
    void round_done() {
        data_time = device::local_now();
        const ttime_t stamp = get_ttime(data_time);
        std::memcpy(record.data() + kStampOffset, &stamp, sizeof stamp);
        data_ready = true;
    }
};

void check_against(const Quillark& dev, const Model& model) {
    FUZZ_CHECK(std::memcmp(&dev.record, model.record.data(), kRecordSize) == 0);
    FUZZ_CHECK(dev.data_ready == model.data_ready);
    FUZZ_CHECK(dev.b_mode == 1);  // the member right after the record
    const std::int32_t result = dev.ctrl_result;
    FUZZ_CHECK(result == quillark::Pending || result == quillark::Confirmed ||
               result == quillark::NotConfirmed);
}

void reply(Quillark& dev, fuzz::Input& in, Model& model) {
    switch (in.byte() % 8) {
        case 4: dev.poll_step = kFirstPollStep + in.byte() % 46; break;
        case 5: dev.poll_step = IoWriteRegister; break;
        case 6: dev.poll_step = IoWriteRegisters; break;
        case 7: dev.poll_step = in.i32(); break;
        default: break;
    }
    const auto table = static_cast<SPModbus::tab_type>(in.byte() % 4);
    const auto bits = in.bytes(in.byte() % 40);
    if (!bits.empty()) std::memcpy(dev.bit_buf, bits.data(), bits.size());
    const auto regs = in.bytes(in.byte() % 80);
    if (!regs.empty()) std::memcpy(dev.reg_buf, regs.data(), regs.size());

    ModbusRequest request;
    while (standin::take_request(dev, request)) {
    }
    const std::int32_t step = dev.poll_step;
    const std::int32_t result_before = dev.ctrl_result;
    const std::int32_t expect = dev.ctrl_expect;
    const int result = dev.process_payload(table, static_cast<unsigned int>(in.byte()));
    const bool sent = standin::take_request(dev, request);

    if (step >= kFirstPollStep && step <= kLastPollStep) {
        const auto index = quillark::step_index(step);
        const auto& read = kPollReads[index];
        const void* source = read.kind == ReadKind::Bits ? static_cast<const void*>(dev.bit_buf)
                                                         : static_cast<const void*>(dev.reg_buf);
        std::memcpy(model.record.data() + kReadOffsets[index], source, read.width());
        FUZZ_CHECK(dev.ctrl_result == result_before);
        if (step == kLastPollStep) {
            model.round_done();
            FUZZ_CHECK(result == 0);
            FUZZ_CHECK(!sent);
            FUZZ_CHECK(dev.poll_step == step);
        } else {
            const auto& next = kPollReads[index + 1];
            FUZZ_CHECK(result == 1);
            FUZZ_CHECK(dev.poll_step == step + 1);
            FUZZ_CHECK(sent && request.address == next.address && request.count == next.count);
            FUZZ_CHECK(request.function == (next.kind == ReadKind::Bits
                                                ? ModbusRequest::ReadInputBits
                                                : ModbusRequest::ReadInputRegisters));
        }
    } else if (step == IoWriteRegister || step == IoWriteRegisters) {
        const bool confirmed = step == IoWriteRegister
                                   ? dev.reg_buf[0] == expect
                                   : dev.reg_buf[0] == 16 && dev.reg_buf[1] == expect;
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(dev.ctrl_result == (confirmed ? quillark::Confirmed : quillark::NotConfirmed));
        FUZZ_CHECK(dev.poll_step == step);
        FUZZ_CHECK(!sent);
    } else {
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(dev.ctrl_result == result_before);
        FUZZ_CHECK(dev.poll_step == step);
        FUZZ_CHECK(!sent);
    }
}

void reload(Quillark& dev, fuzz::Input& in, Model& model) {
    const std::uint8_t mode = in.byte() % 5;
    const std::size_t size = mode == 0 ? kRecordSize : in.u16() % 400;
    fuzz::Block image(mode == 3 ? 0 : size, 0);
    const auto given = in.bytes(image.size);
    if (!given.empty()) std::memcpy(image.bytes.get(), given.data(), given.size());

    int length = static_cast<int>(image.size);
    int result;
    if (mode == 2) length = fuzz::length_for(in, image.size);
    if (mode == 3) {
        length = in.i32();
        result = dev.LoadFromCache(nullptr, length);
    } else if (mode == 4) {
        const std::string text(reinterpret_cast<const char*>(image.bytes.get()), image.size);
        result = dev.LoadFromCache(text);
    } else {
        result = dev.LoadFromCache(image.bytes.get(), length);
    }

    const bool accepted = mode != 3 && length == static_cast<int>(kRecordSize);
    FUZZ_CHECK(result == (accepted ? 1 : 0));
    if (accepted) {
        std::memcpy(model.record.data(), image.bytes.get(), kRecordSize);
        model.round_done();
    }
}

void value_query(const Quillark& dev, const Model& model) {
    std::string message;
    try {
        dev.Get_Value(0, "室内回风温度测量值");
    } catch (const std::out_of_range& e) {
        message = e.what();
    }
    const char* expected = "不支持变量";
    if (!model.data_ready) expected = "数据未就绪";
    else if ((device::local_now() - model.data_time).total_seconds() > 60) expected = "数据已超时";
    FUZZ_CHECK(message == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_driver_run();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int kControlCodes[] = {IoWriteRegister, IoWriteRegisters, IoSignalCommand,
                                        IoEmptyCommand};
    fuzz::Input in(data, size);
    fuzz::start_input();
    Quillark dev;
    Model model;
    fuzz::DocState doc;
    while (!in.empty()) {
        switch (in.byte() % 9) {
            case 0: {
                FUZZ_CHECK(dev.RefreshStatus() == 1);
                FUZZ_CHECK(dev.poll_step == kFirstPollStep);
                ModbusRequest request;
                FUZZ_CHECK(standin::take_request(dev, request));
                FUZZ_CHECK(request.function == ModbusRequest::ReadInputBits &&
                           request.address == 1 && request.count == 6);
                break;
            }
            case 1: reply(dev, in, model); break;
            case 2: fuzz::issue(dev, kControlCodes[in.byte() % 4], in, doc); break;
            case 3: reload(dev, in, model); break;
            case 4: fuzz::issue(dev, IoGetStatusText, in, doc); break;
            case 5: fuzz::issue(dev, IoGetStatusObject, in, doc); break;
            case 6: fuzz::issue(dev, 802, in, doc); break;
            case 7:
                testing_support::TestClock::advance(
                    boost::posix_time::seconds(static_cast<std::int8_t>(in.byte())));
                break;
            default: value_query(dev, model); break;
        }
        check_against(dev, model);
    }
    return 0;
}
