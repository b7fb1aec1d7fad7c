// The rounds mode's values make a wrong answer visible: the fault harness
// relies on this to call a document wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "quillark/record.h"
#include "hostkit/simunit/round_log.h"

namespace {

using quillark::kPollReads;
using quillark::ReadKind;

// The answer a read gets in a round, as the values it carries.
std::vector<int> answer(const quillark::PollRead& read, long round) {
    std::vector<int> values;
    for (int a = read.address; a < read.address + read.count; ++a)
        values.push_back(read.kind == ReadKind::Bits ? quillark_sim::round_bit(a, round)
                                                     : quillark_sim::round_register(a, round));
    return values;
}

// Each read's answer differs from its answer in the round before; reads of
// the same kind and size answer differently, as far as the size allows: n bit
// blocks of width w give min(n, 2^w) different answers, registers n.
TEST(RoundValues, AnswersDifferFromOtherReadsAndFromTheRoundBefore) {
    for (long round = 1; round <= 130; ++round) {
        std::map<std::pair<ReadKind, int>, std::set<std::vector<int>>> answers;
        std::map<std::pair<ReadKind, int>, std::size_t> reads;
        for (std::size_t i = 0; i < kPollReads.size(); ++i) {
            const auto& read = kPollReads[i];
            const std::vector<int> now = answer(read, round);
            EXPECT_NE(now, answer(read, round - 1)) << "read " << i << " round " << round;
            answers[{read.kind, read.count}].insert(now);
            ++reads[{read.kind, read.count}];
        }
        for (const auto& [size, n] : reads) {
            const std::size_t patterns = size.first == ReadKind::Bits && size.second < 16
                                             ? std::size_t{1} << size.second
                                             : n;
            EXPECT_EQ(answers[size].size(), std::min(n, patterns))
                << "reads of " << size.second
                << (size.first == ReadKind::Bits ? " bits" : " registers") << " round " << round;
        }
    }
}

}  // namespace
