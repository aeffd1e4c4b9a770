#include "log/token_bucket.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

// Per step: key, now (ms), how many takes, and the verdict (write, suppressed) of each.
using Step = std::tuple<uint64_t, uint64_t, int, std::tuple<bool, uint32_t>>;

void Expect(hb::TokenBucketTable& table, std::initializer_list<Step> steps) {
    for (const auto& [key, now, times, expected] : steps) {
        for (int i = 0; i < times; ++i) {
            const hb::TokenBucketTable::Verdict v = table.Take(key, now);
            EXPECT_EQ(std::make_tuple(v.write, v.suppressed), expected) << key << " at " << now;
        }
    }
}

TEST(TokenBucketTest, BurstThenOnePerPeriodWithTheCountOfWhatWasLeftOut) {
    hb::TokenBucketTable table(10, 1000, 8);
    // The burst; empty until a period has passed; another key has its own
    // bucket; one token back, two were refused; a clock going back gives
    // nothing; refilled to the burst, no more.
    Expect(table, {{1, 5000, 10, {true, 0}}, {1, 5000, 1, {false, 0}}, {1, 5999, 1, {false, 0}},
                   {2, 5999, 1, {true, 0}}, {1, 6000, 1, {true, 2}}, {1, 6500, 1, {false, 0}},
                   {1, 7000, 1, {true, 1}}, {1, 7000, 1, {false, 0}}, {1, 3000, 1, {false, 0}},
                   {1, 60000, 1, {true, 2}}, {1, 60000, 9, {true, 0}}, {1, 60000, 1, {false, 0}}});
}

TEST(TokenBucketTest, TableStaysBoundedAndGivesUpIdleBucketsFirst) {
    hb::TokenBucketTable table(1, 1000, 2);
    // Key 7 takes over key 2's refilled bucket; key 1 keeps its refused count.
    Expect(table, {{1, 0, 1, {true, 0}}, {1, 0, 1, {false, 0}}, {2, 0, 1, {true, 0}},
                   {7, 2000, 1, {true, 0}}, {1, 2000, 1, {true, 1}}});
    for (uint64_t key = 3; key < 100000; ++key) table.Take(key, 2000 + key % 7);
    EXPECT_EQ(table.Size(), 2u);
}

}  // namespace
