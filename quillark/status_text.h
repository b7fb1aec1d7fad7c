// The status document as compact JSON text, written straight from the record
// instead of walking the JSON document: the same bytes the JSON library's
// compact writer produces for the document the renderer makes from that
// record, at a fraction of the cost.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quillark {

// The members of the status document in the order the JSON library keeps
// and writes them (by key, byte by byte), with their pieces of text escaped
// once by the library itself.
struct DocMember {
    enum class Source : std::uint8_t { Point, Alerts, UpdateTime };
    std::string key;
    std::string piece;  // the quoted key and ':', after a ',' for all but the first
    Source source;
    std::size_t point;  // index into kPoints for a point member
};

struct DocLayout {
    std::vector<DocMember> members;                   // the document's
    std::vector<DocMember> alerts;                    // the alarm object's
    std::array<std::vector<std::string>, 11> labels;  // quoted, by kind and label index
};

const DocLayout& doc_layout();

// Replaces `out` with the text of the document rendered from `record` (the
// whole data record) with `update_time` as its update-time text; keeps the
// string's storage, so a text of the same length or shorter allocates nothing.
void write_status_text(const std::uint8_t* record, const char* update_time, std::string& out);

// Appends a JSON real as the library's writers print one: 17 significant
// digits, and ".0" when that reads as an integer.
void append_real(std::string& out, double value);

}  // namespace quillark
