#include "status_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include <json/writer.h>

#include "point_values.h"

namespace quillark {
namespace {

enum class Source : std::uint8_t { Point, Alerts, UpdateTime };

struct Member {
    std::string name;  // the quoted key and ':', after a ',' for all but the first
    Source source;
    std::size_t point;  // index into kPoints for a point member
};

constexpr std::size_t kKinds = static_cast<std::size_t>(PointKind::SupplyAirMean) + 1;

// Every constant piece of the text, escaped once by the JSON library itself,
// with the members in the order its writer takes them: by key, byte by byte.
struct Pieces {
    std::vector<Member> members;
    std::vector<Member> alerts;
    std::array<std::vector<std::string>, kKinds> labels;  // quoted, by label index
};

void put_in_writer_order(std::vector<Member>& members) {
    std::sort(members.begin(), members.end(),
              [](const Member& a, const Member& b) { return a.name < b.name; });
    for (std::size_t i = 0; i < members.size(); ++i)
        members[i].name = (i == 0 ? "" : ",") + Json::valueToQuotedString(members[i].name.c_str()) + ":";
}

Pieces make_pieces() {
    Pieces pieces;
    for (std::size_t p = 0; p < kPoints.size(); ++p) {
        pieces.members.push_back({kPoints[p].key, Source::Point, p});
        if (kPoints[p].kind == PointKind::Alarm)
            pieces.alerts.push_back({kPoints[p].key, Source::Point, p});
    }
    pieces.members.push_back({kAlertArrayKey, Source::Alerts, 0});
    pieces.members.push_back({kUpdateTimeKey, Source::UpdateTime, 0});
    put_in_writer_order(pieces.members);
    put_in_writer_order(pieces.alerts);

    for (std::size_t k = 0; k < kKinds; ++k) {
        const auto kind = static_cast<PointKind>(k);
        if (!is_label_kind(kind)) continue;
        for (std::size_t i = 0; i < label_count(kind); ++i)
            pieces.labels[k].push_back(Json::valueToQuotedString(label_at(kind, i)));
    }
    return pieces;
}

const Pieces& pieces() {
    static const Pieces made = make_pieces();
    return made;
}

void append_point(std::string& out, const Pieces& pieces, const std::uint8_t* record,
                  std::size_t p) {
    const PointKind kind = kPoints[p].kind;
    const std::uint8_t* field = record + kPointOffsets[p];
    if (is_label_kind(kind))
        out += pieces.labels[static_cast<std::size_t>(kind)][label_index(kind, field)];
    else
        append_real(out, point_number(kind, record, field));
}

}  // namespace

void append_real(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += std::isnan(value) ? "null" : value < 0 ? "-1e+9999" : "1e+9999";
        return;
    }
    char digits[32];
    char* end;
    if (value == std::floor(value) && value >= 0.0 && value < 1e15 && !std::signbit(value)) {
        // A whole number prints as itself, without an exponent up to 17 digits.
        end = std::to_chars(digits, digits + sizeof digits,
                            static_cast<unsigned long long>(value)).ptr;
    } else {
        end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 17)
                  .ptr;
    }
    out.append(digits, end);
    if (std::find_if(digits, end, [](char c) { return c == '.' || c == 'e'; }) == end)
        out += ".0";
}

void write_status_text(const std::uint8_t* record, const char* update_time, std::string& out) {
    const Pieces& all = pieces();
    out.clear();
    out += '{';
    for (const Member& member : all.members) {
        out += member.name;
        switch (member.source) {
            case Source::Point: append_point(out, all, record, member.point); break;
            case Source::Alerts:
                out += '{';
                for (const Member& alarm : all.alerts) {
                    out += alarm.name;
                    out += record[kPointOffsets[alarm.point]] != 0 ? "true" : "false";
                }
                out += '}';
                break;
            case Source::UpdateTime:
                // Digits and separators only: nothing to escape.
                out += '"';
                out += update_time;
                out += '"';
                break;
        }
    }
    out += "}\n";
}

}  // namespace quillark
