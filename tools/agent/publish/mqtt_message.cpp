#include "tools/agent/publish/mqtt_message.h"

namespace quillark_agent {
namespace {

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "0".."65535" without leading zeros, or -1.
int canonical_register(const std::string& text) {
    if (!all_digits(text) || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return -1;
    const long number = std::stol(text);
    return number > 65535 ? -1 : static_cast<int>(number);
}

}  // namespace

std::string check_write_value(const std::string& payload, std::uint16_t& value) {
    if (!all_digits(payload)) return "rejected: the value is not a plain decimal number";
    if (payload.size() > 5 || std::stoul(payload) > 65535)
        return "rejected: value out of range 0..65535";
    value = static_cast<std::uint16_t>(std::stoul(payload));
    return {};
}

SetRequest parse_set(const std::string& prefix, const std::string& topic,
                     const std::string& payload, bool retained) {
    SetRequest request;
    const std::string head = prefix + "/";
    if (topic.size() <= head.size() || topic.compare(0, head.size(), head) != 0) return request;
    const std::string rest = topic.substr(head.size());
    const std::size_t slash = rest.find('/');
    if (slash == 0 || slash == std::string::npos || rest.compare(slash, 5, "/set/") != 0)
        return request;
    const std::string reg_text = rest.substr(slash + 5);
    if (reg_text.empty() || reg_text.find('/') != std::string::npos) return request;
    request.unit = rest.substr(0, slash);
    if (retained && payload.empty()) {
        request.kind = SetRequest::Kind::Clear;
        return request;
    }
    request.kind = SetRequest::Kind::Refuse;
    request.reg = canonical_register(reg_text);
    if (request.reg < 0)
        request.result =
            "rejected: the register is not a decimal number 0..65535 without leading zeros";
    else if (retained) request.result = "rejected: a retained message is not a write";
    else if (request.result = check_write_value(payload, request.value); request.result.empty())
        request.kind = SetRequest::Kind::Write;
    return request;
}

}  // namespace quillark_agent
