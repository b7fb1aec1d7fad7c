// Writes the point table for people (Markdown) from the driver's own tables.
//   quillark_points_doc OUTPUT            write the table to OUTPUT
//   quillark_points_doc OUTPUT REFERENCE  also compare with REFERENCE; exit 1 if they differ
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "quillark/points.h"

namespace {

bool read(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: quillark_points_doc OUTPUT [REFERENCE]\n";
        return 2;
    }
    std::ostringstream table;
    quillark::write_point_table(table);
    const std::string output = argv[1];
    {
        std::ofstream out(output, std::ios::binary | std::ios::trunc);
        out << table.str();
        if (!out.flush()) {
            std::cerr << output << ": cannot write\n";
            return 2;
        }
    }
    if (argc == 2) return 0;
    std::string reference;
    if (!read(argv[2], reference)) {
        std::cerr << argv[2] << ": cannot read\n";
        return 2;
    }
    if (reference == table.str()) return 0;
    std::cerr << argv[2] << " is not what the point tables give (" << output
              << "); rebuild the target update_points_doc and commit the result\n";
    return 1;
}
