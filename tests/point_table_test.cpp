// The people's point table must be what the point map gives.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "fakes.h"
#include "points.h"

TEST(PointTable, DocumentIsCurrent) {
    const std::string path = QUILLARK_DOCS_DIR "/points.md";
    std::ostringstream generated;
    quillark::write_point_table(generated);
    const char* update = std::getenv("QUILLARK_UPDATE_DOCS");
    if (update != nullptr && std::string(update) == "1") {
        std::ofstream(path, std::ios::binary) << generated.str();
        GTEST_SKIP() << "rewrote " << path;
    }
    EXPECT_TRUE(testing_support::read_file(path) == generated.str())
        << "docs/points.md is not what the point map gives; run the tests with "
           "QUILLARK_UPDATE_DOCS=1 to rewrite it, and commit the result";
}
