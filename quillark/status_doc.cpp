#include "quillark.h"

void Quillark::refresh_status_doc_locked() {
    // Any change of the data time counts, also one to an earlier time.
    if (last_data_time != doc_time) {
        doc_time = last_data_time;
        render_status_doc();
    }
}

void Quillark::render_status_doc() {
    // Filled in with the point map.
    status_doc = Json::Value(Json::objectValue);
}
