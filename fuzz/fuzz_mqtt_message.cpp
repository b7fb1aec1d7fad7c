// A message on the agent's write topics: the first byte's low bit is the
// retain flag, then the topic, a NUL, and the payload. Whatever is taken as a
// write must be one register's one topic and a value the payload spells.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_io.h"
#include "tools/agent/publish/mqtt_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool retained = (data[0] & 1) != 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t nul = rest.find('\0');
    const std::string topic = rest.substr(0, nul);
    const std::string payload = nul == std::string::npos ? "" : rest.substr(nul + 1);
    const std::string prefix = "quillark";

    using Kind = quillark_agent::SetRequest::Kind;
    const quillark_agent::SetRequest r =
        quillark_agent::parse_set(prefix, topic, payload, retained);
    if (r.kind == Kind::Ignore) return 0;
    FUZZ_CHECK(!r.unit.empty() && r.unit.find('/') == std::string::npos);
    FUZZ_CHECK(topic.rfind(prefix + "/" + r.unit + "/set/", 0) == 0);
    if (r.kind == Kind::Clear) {
        FUZZ_CHECK(retained && payload.empty());
    } else if (r.kind == Kind::Refuse) {
        FUZZ_CHECK(r.result.rfind("rejected: ", 0) == 0);
    } else {
        FUZZ_CHECK(!retained && r.result.empty());
        FUZZ_CHECK(r.reg >= 0 && r.reg <= 65535);
        FUZZ_CHECK(topic == prefix + "/" + r.unit + "/set/" + std::to_string(r.reg));
        FUZZ_CHECK(payload.find_first_not_of("0123456789") == std::string::npos);
        FUZZ_CHECK(std::stoul(payload) == r.value);
    }
    return 0;
}
