// Cost of one status document rebuild: what a status request pays once per
// completed round.
#include <cstring>
#include <mutex>

#include <benchmark/benchmark.h>

#include "quillark/quillark.h"

namespace {

class BenchQuillark : public Quillark {
public:
    // Makes `image` the last completed round, at a new data time.
    void complete_round(const unsigned char* image) {
        std::lock_guard<std::mutex> lock(doc_mutex);
        std::memcpy(&round_record, image, sizeof round_record);
        last_data_time = last_data_time.is_not_a_date_time()
                             ? boost::posix_time::ptime(boost::gregorian::date(2024, 3, 5))
                             : last_data_time + boost::posix_time::seconds(1);
    }

    void status_request() {
        std::lock_guard<std::mutex> lock(doc_mutex);
        refresh_status_doc_locked();
    }
};

struct Images {
    unsigned char a[187];
    unsigned char b[187];
    Images() {
        for (std::size_t i = 0; i < sizeof a; ++i) {
            a[i] = static_cast<unsigned char>(i * 7);
            b[i] = static_cast<unsigned char>(i < 110 ? (i & 1) : i * 13);  // other labels
        }
    }
};

// A new round whose labels are those of the round before: the usual case.
void BM_RenderSameLabels(benchmark::State& state) {
    const Images images;
    BenchQuillark dev;
    dev.complete_round(images.a);
    dev.status_request();
    for (auto _ : state) {
        dev.complete_round(images.a);
        dev.status_request();
        benchmark::DoNotOptimize(dev.status_doc);
    }
}
BENCHMARK(BM_RenderSameLabels);

// Every label and value changes from one round to the next.
void BM_RenderChangingLabels(benchmark::State& state) {
    const Images images;
    BenchQuillark dev;
    bool flip = false;
    for (auto _ : state) {
        dev.complete_round(flip ? images.a : images.b);
        flip = !flip;
        dev.status_request();
        benchmark::DoNotOptimize(dev.status_doc);
    }
}
BENCHMARK(BM_RenderChangingLabels);

// The first rebuild, which creates every member.
void BM_RenderFirst(benchmark::State& state) {
    const Images images;
    BenchQuillark dev;
    for (auto _ : state) {
        dev.status_doc = Json::Value();
        dev.complete_round(images.a);
        dev.status_request();
        benchmark::DoNotOptimize(dev.status_doc);
    }
}
BENCHMARK(BM_RenderFirst);

// A status request between rounds: only the time comparison.
void BM_RequestWithoutNewRound(benchmark::State& state) {
    const Images images;
    BenchQuillark dev;
    dev.complete_round(images.a);
    for (auto _ : state) {
        dev.status_request();
        benchmark::DoNotOptimize(dev.status_doc);
    }
}
BENCHMARK(BM_RequestWithoutNewRound);

}  // namespace
