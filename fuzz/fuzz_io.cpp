#include "fuzz/fuzz_io.h"

#include <exception>
#include <iostream>

#include <json/reader.h>
#include <json/writer.h>

#include "tests/support/fakes.h"
#include "quillark/quillark.h"

namespace fuzz {

namespace {

const boost::posix_time::ptime kStart = testing_support::at(2024, 3, 5, 8, 7, 9);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// What the reader the driver uses makes of a signal command's text.
bool reader_accepts(const std::string& text, Json::Value& root) {
    try {
        Json::Reader reader;
        return reader.parse(text, root);
    } catch (const std::exception&) {
        return false;
    }
}
// What the JSON library's compact writer makes of a document.
std::string library_text(const Json::Value& doc) { return Json::FastWriter().write(doc); }
#pragma GCC diagnostic pop

std::uint16_t word_at(const Block& block, std::size_t index) {
    std::uint16_t w;
    std::memcpy(&w, block.bytes.get() + 2 * index, 2);
    return w;
}

// One call and what it left behind, for the checks of what it promises.
struct Call {
    Call(std::size_t input_size, std::size_t output_size)
        : input(input_size, 0), output(output_size, kFill) {}

    bool untouched_from(std::size_t from) const {
        for (std::size_t i = from; i < output.size; ++i)
            if (output.bytes[i] != kFill) return false;
        return true;
    }

    int code = 0;
    Block input;
    int in_len = 0;
    const void* in_ptr = nullptr;
    Block output;
    std::size_t room = 0;  // bytes the caller offered for the output
    int result = 0;
    int out_size = kUntouched;
    bool any_sent = false;
    ModbusRequest sent;
    std::int32_t step_before = 0;
    std::int32_t result_before = 0;
    std::int32_t expect_before = 0;
};

void check_unchanged(const Quillark& dev, const Call& c) {
    FUZZ_CHECK(dev.poll_step == c.step_before);
    FUZZ_CHECK(dev.ctrl_result == c.result_before);
    FUZZ_CHECK(dev.ctrl_expect == c.expect_before);
}

// A signal command or an empty one: nothing goes to the unit.
void check_signal(const Quillark& dev, const Call& c) {
    FUZZ_CHECK(!c.any_sent);
    FUZZ_CHECK(dev.ctrl_expect == c.expect_before);
    if (c.code == IoEmptyCommand) {
        FUZZ_CHECK(c.result == 0);
        return;
    }
    FUZZ_CHECK(c.result == 0 || c.result == -1);
    const std::string text(reinterpret_cast<const char*>(c.input.bytes.get()),
                           static_cast<std::size_t>(c.in_len));
    Json::Value root;
    const bool parses = reader_accepts(text, root);
    if (!parses) FUZZ_CHECK(c.result == -1);
    if (c.result == 0) {
        FUZZ_CHECK(parses && root.isObject());
        static const char kKey[] = "signal_id";
        const Json::Value* name = root.find(kKey, kKey + sizeof kKey - 1);
        FUZZ_CHECK(name == nullptr || (!name->isArray() && !name->isObject()));
    }
}

void check_control(const Quillark& dev, const Call& c) {
    FUZZ_CHECK(c.out_size == kUntouched);
    FUZZ_CHECK(c.untouched_from(0));
    bool accepted = c.in_ptr != nullptr && c.in_len >= 0;
    if (c.code == IoWriteRegister || c.code == IoWriteRegisters)
        accepted = accepted && c.in_len >= 4;
    if (c.code == IoWriteRegisters) accepted = accepted && c.in_len / 2 - 1 <= 123;
    if (c.code == IoEmptyCommand) accepted = true;
    if (!accepted) {
        FUZZ_CHECK(c.result == -1);
        check_unchanged(dev, c);
        FUZZ_CHECK(!c.any_sent);
        return;
    }
    FUZZ_CHECK(dev.poll_step == c.code);
    FUZZ_CHECK(dev.ctrl_result == quillark::Pending);
    if (c.code == IoWriteRegister) {
        FUZZ_CHECK(c.result == 0);
        FUZZ_CHECK(c.any_sent && c.sent.function == ModbusRequest::WriteRegister);
        FUZZ_CHECK(c.sent.address == word_at(c.input, 0) && c.sent.count == 1);
        FUZZ_CHECK(c.sent.values[0] == word_at(c.input, 1));
        FUZZ_CHECK(dev.ctrl_expect == word_at(c.input, 1));
    } else if (c.code == IoWriteRegisters) {
        const int n = c.in_len / 2 - 1;
        FUZZ_CHECK(c.result == 0);
        FUZZ_CHECK(c.any_sent && c.sent.function == ModbusRequest::WriteRegisters);
        FUZZ_CHECK(c.sent.address == word_at(c.input, 0) && c.sent.count == n);
        for (int i = 0; i < n; ++i) FUZZ_CHECK(c.sent.values[i] == word_at(c.input, i + 1));
        FUZZ_CHECK(dev.ctrl_expect == n);
    } else {
        check_signal(dev, c);
    }
}

void check_status_text(const Quillark& dev, const Call& c, DocState& doc) {
    FUZZ_CHECK(c.out_size > 0);
    const auto length = static_cast<std::size_t>(c.out_size);
    if (c.room < length) {
        FUZZ_CHECK(c.result == -1);
        FUZZ_CHECK(c.untouched_from(0));
        return;
    }
    FUZZ_CHECK(c.result == 0);
    FUZZ_CHECK(c.untouched_from(length));
    const std::string text(reinterpret_cast<const char*>(c.output.bytes.get()), length);
    // Written from the record or from the live document: the same bytes.
    FUZZ_CHECK(text == library_text(dev.status_doc));
    FUZZ_CHECK(text.back() == '\n');
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    Json::Value parsed;
    FUZZ_CHECK(testing_support::parse_json_text(text, parsed));
    if (doc.rendered) {
        FUZZ_CHECK(parsed.isObject());
        FUZZ_CHECK(parsed.getMemberNames() == doc.members);
    } else if (parsed.isObject()) {
        doc.rendered = true;
        doc.members = parsed.getMemberNames();
    } else {
        FUZZ_CHECK(text == "null\n");
    }
}

void check_status_object(const Quillark& dev, const Call& c) {
    FUZZ_CHECK(c.out_size == static_cast<int>(sizeof(void*)));
    if (c.room < sizeof(void*)) {
        FUZZ_CHECK(c.result == -1);
        FUZZ_CHECK(c.untouched_from(0));
        return;
    }
    FUZZ_CHECK(c.result == 0);
    const Json::Value* address = nullptr;
    std::memcpy(&address, c.output.bytes.get(), sizeof address);
    FUZZ_CHECK(address == &dev.status_doc);
    FUZZ_CHECK(c.untouched_from(sizeof address));
}

// Any other code reads the result of the last command.
void check_result_query(const Quillark& dev, const Call& c) {
    FUZZ_CHECK(c.result == 0);
    if (c.room < 4) {
        FUZZ_CHECK(c.out_size == 0);
        FUZZ_CHECK(c.untouched_from(0));
        return;
    }
    FUZZ_CHECK(c.out_size == 4);
    std::int32_t value;
    std::memcpy(&value, c.output.bytes.get(), 4);
    FUZZ_CHECK(value == dev.ctrl_result);
    FUZZ_CHECK(value == quillark::Pending || value == quillark::Confirmed ||
               value == quillark::NotConfirmed);
    FUZZ_CHECK(c.untouched_from(4));
}

}  // namespace

int length_for(Input& in, std::size_t size) {
    const int whole = static_cast<int>(size);
    switch (in.byte() % 5) {
        case 0: return whole;
        case 1: return whole - in.byte();
        case 2: return 0;
        case 3: return static_cast<int>(static_cast<std::uint32_t>(in.i32()) | 0x80000000u);
        default: {
            const int any = in.i32();
            return any > whole ? whole : any;
        }
    }
}

void issue(Quillark& dev, int code, Input& in, DocState& doc) {
    ModbusRequest stale;
    while (standin::take_request(dev, stale)) {
    }

    const std::uint8_t flags = in.byte();
    const std::size_t input_size = in.u16() % 600;
    const auto given = in.bytes(input_size);
    const int in_len = length_for(in, input_size);
    Call c(input_size, in.u16() % 8192);
    if (!given.empty()) std::memcpy(c.input.bytes.get(), given.data(), given.size());
    c.code = code;
    c.in_len = in_len;
    c.in_ptr = (flags & 1) != 0 ? nullptr : c.input.bytes.get();
    const int out_len = length_for(in, c.output.size);
    void* out_ptr = (flags & 2) != 0 ? nullptr : c.output.bytes.get();
    c.room = out_ptr == nullptr || out_len <= 0 ? 0 : std::size_t(out_len);

    c.step_before = dev.poll_step;
    c.result_before = dev.ctrl_result;
    c.expect_before = dev.ctrl_expect;
    c.result = dev.DeviceIoControl(code, c.in_ptr, c.in_len, out_ptr, out_len, c.out_size);
    c.any_sent = standin::take_request(dev, c.sent);

    if (code == IoWriteRegister || code == IoWriteRegisters || code == IoSignalCommand ||
        code == IoEmptyCommand) {
        check_control(dev, c);
        return;
    }
    FUZZ_CHECK(!c.any_sent);
    check_unchanged(dev, c);
    if (code == IoGetStatusText) check_status_text(dev, c, doc);
    else if (code == IoGetStatusObject) check_status_object(dev, c);
    else check_result_query(dev, c);
}

int pick_code(Input& in) {
    static const int kCodes[] = {IoWriteRegister,
                                 IoWriteRegisters,
                                 IoSignalCommand,
                                 IoEmptyCommand,
                                 IoGetStatusText,
                                 IoGetStatusObject,
                                 802,
                                 0,
                                 -1,
                                 805};
    const std::uint8_t pick = in.byte();
    if (pick < 240) return kCodes[pick % (sizeof kCodes / sizeof kCodes[0])];
    return in.i32();
}

void start_driver_run() {
    // The end of every round prints a line; the fuzzer's output is its own.
    std::cout.rdbuf(nullptr);
    static testing_support::TestClock clock(kStart);
}

void start_input() { testing_support::TestClock::set(kStart); }

}  // namespace fuzz
