#include "log/token_bucket.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

using Verdict = std::tuple<bool, uint32_t>;  // write, suppressed

Verdict Take(hb::TokenBucketTable& table, uint64_t key, uint64_t nowMs) {
    const hb::TokenBucketTable::Verdict v = table.Take(key, nowMs);
    return {v.write, v.suppressed};
}

TEST(TokenBucketTest, BurstThenOnePerPeriodWithTheCountOfWhatWasLeftOut) {
    hb::TokenBucketTable table(10, 1000, 8);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Take(table, 1, 5000), Verdict(true, 0)) << i;
    const std::vector<std::tuple<uint64_t, uint64_t, Verdict>> steps = {
        {1, 5000, {false, 0}}, {1, 5999, {false, 0}},  // empty until a period has passed
        {2, 5999, {true, 0}},                          // another key has its own bucket
        {1, 6000, {true, 2}},                          // one token back, two were refused
        {1, 6500, {false, 0}}, {1, 7000, {true, 1}},
        {1, 7000, {false, 0}}, {1, 3000, {false, 0}},  // a clock going back gives nothing
        {1, 60000, {true, 2}},                         // refilled to the burst, no more
    };
    for (const auto& [key, now, expected] : steps) {
        EXPECT_EQ(Take(table, key, now), expected) << "key " << key << " at " << now;
    }
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(std::get<0>(Take(table, 1, 60000))) << i;
    EXPECT_FALSE(std::get<0>(Take(table, 1, 60000)));
}

TEST(TokenBucketTest, TableStaysBoundedAndGivesUpIdleBucketsFirst) {
    hb::TokenBucketTable table(1, 1000, 2);
    EXPECT_TRUE(std::get<0>(Take(table, 1, 0)));
    EXPECT_FALSE(std::get<0>(Take(table, 1, 0)));  // key 1: empty, one refused
    EXPECT_TRUE(std::get<0>(Take(table, 2, 0)));
    EXPECT_TRUE(std::get<0>(Take(table, 7, 2000)));  // takes over key 2's refilled bucket...
    EXPECT_EQ(Take(table, 1, 2000), Verdict(true, 1));  // ...key 1 keeps its count
    for (uint64_t key = 3; key < 100000; ++key) Take(table, key, 2000 + key % 7);
    EXPECT_EQ(table.Size(), 2u);
}

}  // namespace
