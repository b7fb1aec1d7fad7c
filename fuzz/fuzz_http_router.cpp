// The agent's HTTP decisions on arbitrary bytes taken as a request on the
// wire: where it ends, which answer its target gets, and whether its
// Authorization header carries the token. Each must hold what it promises
// the listener: a whole request lies within the bytes and the limit, a unit's
// name is one a unit can have, /metrics and /api/ are always guarded, and
// only "bearer" (any case) with the token itself passes.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_io.h"
#include "tools/agent/publish/router.h"

namespace {

constexpr std::size_t kLimit = 16 * 1024;
const std::string kToken = "s3cret-T0ken";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The value of the first header line named `name` (any case), as the listener
// hands it on: spaces around it left for the router to judge.
std::string header(const std::string& head, const std::string& name) {
    for (std::size_t at = head.find("\r\n"); at != std::string::npos;
         at = head.find("\r\n", at + 2)) {
        const std::size_t start = at + 2;
        if (head.size() < start + name.size() + 1 || head[start + name.size()] != ':') continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size(); ++i)
            same = same && lower(head[start + i]) == name[i];
        if (!same) continue;
        const std::size_t end = head.find("\r\n", start);
        return head.substr(start + name.size() + 1, end == std::string::npos
                                                        ? std::string::npos
                                                        : end - start - name.size() - 1);
    }
    return {};
}

void check_route(const std::string& target) {
    const quillark_agent::Route r = quillark_agent::route(target);
    using quillark_agent::Answer;
    if (r.answer == Answer::Metrics || r.answer == Answer::Units || r.answer == Answer::Unit ||
        r.answer == Answer::UnitStatus || r.answer == Answer::Events)
        FUZZ_CHECK(r.guarded);
    if (r.answer == Answer::Unit || r.answer == Answer::UnitStatus) {
        FUZZ_CHECK(!r.name.empty());
        for (const char c : r.name)
            FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-');
    }
    if (r.answer == Answer::Asset) FUZZ_CHECK(!r.guarded && r.name.find("..") == std::string::npos);
    // A path that cannot be decoded gets a bare 400, nothing of the units.
    const std::string path = target.substr(0, target.find('?'));
    if (path == "/metrics" || path.rfind("/api/", 0) == 0)
        FUZZ_CHECK(r.guarded || r.answer == Answer::BadRequest);
}

void check_token(const std::string& authorization) {
    const bool passed = quillark_agent::bearer_matches(authorization, kToken);
    if (!passed) return;
    std::string folded;
    for (const char c : authorization) folded += lower(c);
    FUZZ_CHECK(folded.find("bearer") != std::string::npos);
    FUZZ_CHECK(authorization.find(kToken) != std::string::npos);
    FUZZ_CHECK(!quillark_agent::bearer_matches(authorization, ""));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const quillark_agent::Framing f = quillark_agent::frame_request(bytes, size, kLimit);
    if (f.kind == quillark_agent::Framing::Complete)
        FUZZ_CHECK(f.length > 0 && f.length <= size && f.length <= kLimit);
    if (f.kind == quillark_agent::Framing::Incomplete) FUZZ_CHECK(size < kLimit);

    const std::string request(bytes, size);
    const std::size_t line_end = request.find("\r\n");
    const std::string line = request.substr(0, line_end);
    const std::size_t first = line.find(' ');
    const std::size_t second =
        first == std::string::npos ? std::string::npos : line.find(' ', first + 1);
    check_route(first == std::string::npos ? line : line.substr(first + 1, second - first - 1));
    check_token(header(request, "authorization"));
    return 0;
}
