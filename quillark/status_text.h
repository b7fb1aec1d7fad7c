// The status document as compact JSON text, written straight from the record
// instead of walking the JSON document: the same bytes the JSON library's
// compact writer produces for the document the renderer makes from that
// record, at a fraction of the cost.
#pragma once

#include <cstdint>
#include <string>

namespace quillark {

// Replaces `out` with the text of the document rendered from `record` (the
// whole data record) with `update_time` as its update-time text; keeps the
// string's storage, so a text of the same length or shorter allocates nothing.
void write_status_text(const std::uint8_t* record, const char* update_time, std::string& out);

// Appends a JSON real as the library's writers print one: 17 significant
// digits, and ".0" when that reads as an integer.
void append_real(std::string& out, double value);

}  // namespace quillark
