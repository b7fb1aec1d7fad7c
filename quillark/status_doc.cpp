#include <cstdint>
#include <cstdio>
#include <cstring>

#include "point_values.h"
#include "quillark.h"
#include "status_text.h"

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

void Quillark::render_status_doc() {
    text_current_ = false;
    // The document is only ever added to: callers may hold its address, and a
    // member once there stays there. After the first rebuild only values are
    // replaced, and no replacement frees storage a reader may be copying:
    // labels refer to the constant label texts, numbers and flags are held in
    // place, and the update time lives in the driver's own buffers.
    if (!status_doc.isObject()) status_doc = Json::Value(Json::objectValue);
    Json::Value& alerts = status_doc[quillark::kAlertArrayKey];
    if (!alerts.isObject()) alerts = Json::Value(Json::objectValue);

    // The last completed round, never the record a poll round is refilling.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&round_record);
    for (std::size_t p = 0; p < kPoints.size(); ++p) {
        const Point& point = kPoints[p];
        const std::uint8_t* field = bytes + kPointOffsets[p];
        Json::Value& member = status_doc[point.key];
        if (quillark::is_label_kind(point.kind))
            member = Json::StaticString(
                quillark::label_at(point.kind, quillark::label_index(point.kind, field)));
        else
            member = quillark::point_number(point.kind, bytes, field);
        if (point.kind == PointKind::Alarm) alerts[point.key] = field[0] != 0;
    }

    // Time stamp: 16-bit year, then month, day, hour, minute, second; printed
    // as plain numbers without leading zeros. The buffer's last byte is never
    // written, so a reader of the text it replaces always finds an end.
    update_time_slot_ ^= 1;
    char* text = update_times_[update_time_slot_].data();
    const std::uint8_t* stamp = bytes + offsetof(Quillark_Data_t, time_stamp);
    std::snprintf(text, kUpdateTimeSize - 1, "%u-%u-%u %u:%u:%u",
                  unsigned{quillark::word_at(stamp)}, unsigned{stamp[2]}, unsigned{stamp[3]},
                  unsigned{stamp[4]}, unsigned{stamp[5]}, unsigned{stamp[6]});
    status_doc[quillark::kUpdateTimeKey] = Json::StaticString(text);

    // Nobody but this renderer has touched the document: its text can be
    // made now, from the record, and served until the next round.
    if (!doc_handed_out_) {
        quillark::write_status_text(bytes, text, status_text_);
        text_current_ = true;
    }
}
