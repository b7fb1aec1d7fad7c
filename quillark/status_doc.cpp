#include <cstdint>
#include <cstdio>
#include <cstring>

#include "quillark/point_values.h"
#include "quillark/quillark.h"
#include "quillark/status_text.h"

using quillark::kPointOffsets;
using quillark::kPoints;
using quillark::Point;
using quillark::PointKind;

void Quillark::refresh_status_doc_locked() {
    // Any change of the data time counts, also one to an earlier time.
    if (last_data_time != doc_time) {
        const boost::posix_time::ptime previous = doc_time;
        doc_time = last_data_time;
        try {
            render_status_doc();
        } catch (...) {
            // A rebuild cut short (out of memory) leaves a partial document:
            // the next request must rebuild it, not serve it as current.
            doc_time = previous;
            throw;
        }
    }
}

namespace {

using quillark::DocMember;

void assign_point(Json::Value& member, const Point& point, const std::uint8_t* record,
                  const std::uint8_t* field) {
    if (quillark::is_label_kind(point.kind))
        member = Json::StaticString(
            quillark::label_at(point.kind, quillark::label_index(point.kind, field)));
    else member = quillark::point_number(point.kind, record, field);
}

bool is_member(Json::ValueIterator it, const std::string& key) {
    const char* end = nullptr;
    const char* name = it.memberName(&end);
    return static_cast<std::size_t>(end - name) == key.size() &&
           std::memcmp(name, key.data(), key.size()) == 0;
}

// Assigns every member by walking the object in its own (key) order beside
// the layout, instead of looking each key up. Only for an object that holds
// exactly the layout's members; false, with nothing promised, otherwise.
bool assign_in_member_order(Json::Value& doc, const std::uint8_t* record, const char* update_time) {
    const quillark::DocLayout& layout = quillark::doc_layout();
    if (!doc.isObject() || doc.size() != layout.members.size()) return false;
    auto it = doc.begin();
    for (const DocMember& member : layout.members) {
        if (!is_member(it, member.key)) return false;
        Json::Value& value = *it++;
        switch (member.source) {
            case DocMember::Source::Point: {
                const Point& point = kPoints[member.point];
                assign_point(value, point, record, record + kPointOffsets[member.point]);
                break;
            }
            case DocMember::Source::UpdateTime: value = Json::Value(update_time); break;
            case DocMember::Source::Alerts: {
                if (!value.isObject() || value.size() != layout.alerts.size()) return false;
                auto alarm = value.begin();
                for (const DocMember& a : layout.alerts) {
                    if (!is_member(alarm, a.key)) return false;
                    *alarm++ = record[kPointOffsets[a.point]] != 0;
                }
                break;
            }
        }
    }
    return true;
}

}  // namespace

void Quillark::render_status_doc() {
    text_current_ = false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&round_record);

    // Time stamp: 16-bit year, then month, day, hour, minute, second; printed
    // as plain numbers without leading zeros.
    char text[32];
    const std::uint8_t* stamp = bytes + offsetof(Quillark_Data_t, time_stamp);
    std::snprintf(text, sizeof text, "%u-%u-%u %u:%u:%u", unsigned{quillark::word_at(stamp)},
                  unsigned{stamp[2]}, unsigned{stamp[3]}, unsigned{stamp[4]}, unsigned{stamp[5]},
                  unsigned{stamp[6]});

    // After the first rebuild only values are replaced: labels refer to the
    // constant label texts and numbers and flags are held in place. The
    // update time is the document's own string, so a copy of the document
    // keeps its text after later rounds and after the driver is gone.
    if (!assign_in_member_order(status_doc, bytes, text)) {
        // The document is only ever added to: callers may hold its address,
        // and a member once there stays there.
        if (!status_doc.isObject()) status_doc = Json::Value(Json::objectValue);
        Json::Value& alerts = status_doc[quillark::kAlertArrayKey];
        if (!alerts.isObject()) alerts = Json::Value(Json::objectValue);
        // The record walked from offset 4, point by point, in record order.
        for (std::size_t p = 0; p < kPoints.size(); ++p) {
            const std::uint8_t* field = bytes + kPointOffsets[p];
            assign_point(status_doc[kPoints[p].key], kPoints[p], bytes, field);
            if (kPoints[p].kind == PointKind::Alarm) alerts[kPoints[p].key] = field[0] != 0;
        }
        status_doc[quillark::kUpdateTimeKey] = Json::Value(text);
    }

    // Nobody but this renderer has touched the document: its text can be
    // made now, from the record, and served until the next round.
    if (!doc_handed_out_) {
        quillark::write_status_text(bytes, text, status_text_);
        text_current_ = true;
    }
}
