#include "quillark/status_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <tuple>
#include <vector>

#include <json/writer.h>

#include "quillark/point_values.h"

namespace quillark {
namespace {

using Source = DocMember::Source;

void put_in_writer_order(std::vector<DocMember>& members) {
    std::sort(members.begin(), members.end(),
              [](const DocMember& a, const DocMember& b) { return a.key < b.key; });
    for (std::size_t i = 0; i < members.size(); ++i)
        members[i].piece =
            (i == 0 ? "" : ",") + Json::valueToQuotedString(members[i].key.c_str()) + ":";
}

DocLayout make_layout() {
    DocLayout layout;
    for (std::size_t p = 0; p < kPoints.size(); ++p) {
        layout.members.push_back({kPoints[p].key, {}, Source::Point, p});
        if (kPoints[p].kind == PointKind::Alarm)
            layout.alerts.push_back({kPoints[p].key, {}, Source::Point, p});
    }
    layout.members.push_back({kAlertArrayKey, {}, Source::Alerts, 0});
    layout.members.push_back({kUpdateTimeKey, {}, Source::UpdateTime, 0});
    put_in_writer_order(layout.members);
    put_in_writer_order(layout.alerts);

    static_assert(std::tuple_size<decltype(layout.labels)>::value ==
                  static_cast<std::size_t>(PointKind::SupplyAirMean) + 1);
    for (std::size_t k = 0; k < layout.labels.size(); ++k) {
        const auto kind = static_cast<PointKind>(k);
        if (!is_label_kind(kind)) continue;
        for (std::size_t i = 0; i < label_count(kind); ++i)
            layout.labels[k].push_back(Json::valueToQuotedString(label_at(kind, i)));
    }
    return layout;
}

void append_point(std::string& out, const DocLayout& layout, const std::uint8_t* record,
                  std::size_t p) {
    const PointKind kind = kPoints[p].kind;
    const std::uint8_t* field = record + kPointOffsets[p];
    if (is_label_kind(kind))
        out += layout.labels[static_cast<std::size_t>(kind)][label_index(kind, field)];
    else append_real(out, point_number(kind, record, field));
}

}  // namespace

const DocLayout& doc_layout() {
    static const DocLayout made = make_layout();
    return made;
}

void append_real(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += std::isnan(value) ? "null" : value < 0 ? "-1e+9999" : "1e+9999";
        return;
    }
    char digits[32];
    char* end;
    if (value == std::floor(value) && !std::signbit(value) && value < 1e15) {
        // A whole number prints as itself, without an exponent up to 17 digits.
        end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned long long>(value))
                  .ptr;
    } else {
        end = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 17)
                  .ptr;
    }
    out.append(digits, end);
    if (std::find_if(digits, end, [](char c) { return c == '.' || c == 'e'; }) == end) out += ".0";
}

void write_status_text(const std::uint8_t* record, const char* update_time, std::string& out) {
    const DocLayout& all = doc_layout();
    out.clear();
    out += '{';
    for (const DocMember& member : all.members) {
        out += member.piece;
        switch (member.source) {
            case Source::Point: append_point(out, all, record, member.point); break;
            case Source::Alerts:
                out += '{';
                for (const DocMember& alarm : all.alerts) {
                    out += alarm.piece;
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
