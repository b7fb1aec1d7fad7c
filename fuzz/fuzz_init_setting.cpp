// Device settings as the host hands them to Init: any JSON text at all. The
// driver reads them without changing them, keeps its id in the record, and
// answers 0.
//
// Input bytes: the first byte, modulo 2, picks how the text is wrapped (0 as
// it is, 1 as the value of "appSetting"."b_mode"); the rest is the JSON text.
#include <json/reader.h>

#include <memory>

#include "fuzz/fuzz_io.h"
#include "quillark/quillark.h"
#include "host/tessel_controller.h"

namespace {

// Built once: a device and its host cost far more than one call of Init.
struct Rig {
    std::shared_ptr<TesselController> host = std::make_shared<TesselController>();
    Quillark dev;
    std::unique_ptr<Json::CharReader> reader;
    Rig() {
        Json::CharReaderBuilder builder;
        builder["stackLimit"] = 200;
        reader.reset(builder.newCharReader());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Rig rig;
    if (size == 0) return 0;
    const bool wrapped = data[0] % 2 == 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    Json::Value parsed;
    std::string errors;
    try {
        if (!rig.reader->parse(text, text + size - 1, &parsed, &errors)) return 0;
    } catch (const Json::Exception&) {
        return 0;  // the parser's own limits, not the driver's concern
    }
    Json::Value settings;
    if (wrapped) settings["appSetting"]["b_mode"] = parsed;
    else settings = parsed;
    const Json::Value before = settings;
    const unsigned int id = static_cast<unsigned int>(size * 2654435761u);

    FUZZ_CHECK(rig.dev.Init(rig.host, id, settings) == 0);
    FUZZ_CHECK(settings == before);
    std::uint32_t stored;
    std::memcpy(&stored, &rig.dev.record.device_id, sizeof stored);
    FUZZ_CHECK(stored == id && rig.dev.DataId() == id);
    return 0;
}
