// quillark-sim's --image files: arbitrary bytes as the file's content. A bad
// image is refused with a message; a good one leaves a unit that serves only
// addresses it has, with bits of 0 or 1.
#include <string>

#include "hostkit/common/files.h"
#include "fuzz/fuzz_io.h"
#include "hostkit/simunit/unit_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const quillark_sim::Image standard = quillark_sim::Image::standard();
    if (size > quillark_tools::kMaxInputFile) return 0;
    quillark_sim::Image image = standard;
    try {
        image.apply(
            quillark_tools::parse_json(std::string(reinterpret_cast<const char*>(data), size)));
    } catch (const quillark_sim::ImageError& e) {
        FUZZ_CHECK(*e.what() != '\0');
        return 0;
    } catch (const std::runtime_error& e) {
        FUZZ_CHECK(*e.what() != '\0');
        return 0;
    }
    for (const auto& [address, value] : image.bits)
        FUZZ_CHECK(address >= 0 && address < quillark_sim::input_bit_span() && value <= 1);
    for (const auto& [address, value] : image.registers)
        FUZZ_CHECK(address >= 0 && address < quillark_sim::input_register_span());
    for (const auto& [address, value] : image.holding)
        FUZZ_CHECK(address >= quillark_sim::kFirstHolding &&
                   address < quillark_sim::kFirstHolding + quillark_sim::kHoldingCount);
    FUZZ_CHECK(image.registers_at(0.0).size() ==
               static_cast<std::size_t>(quillark_sim::input_register_span()));
    return 0;
}
