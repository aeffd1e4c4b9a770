#include <ctime>

#include <gtest/gtest.h>

#include "heartbeat_message.h"

namespace {

uint64_t MonotonicMs() {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000U + static_cast<uint64_t>(now.tv_nsec) / 1000000U;
}

TEST(ChannelGidTest, FirstMatchingRowDecides) {
    struct Row {
        unsigned int first, second, expected;
    };
    // {1101, 0}: the "second is 0" row comes before the "first is 1101" row.
    const Row rows[] = {{0, 0, 0},          {0, 1102, 1102},    {1101, 0, 1101},  {1101, 77, 77},
                        {1102, 77, 1102},   {1102, 1101, 1102}, {1000, 1101, 1000}, {1000, 1102, 1102},
                        {1000, 77, 77},     {5, 1102, 1000},    {77, 1000, 1000}};
    for (const Row& row : rows) {
        EXPECT_EQ(VeKov::GetChannelGidForLink(row.first, row.second), row.expected)
            << row.first << ", " << row.second;
    }
}

TEST(CurrentTimeTest, IsTruncatedMonotonicMilliseconds) {
    uint64_t before = MonotonicMs();
    uint64_t now = VeKov::GetCurrentTime();
    uint64_t after = MonotonicMs();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

}  // namespace
