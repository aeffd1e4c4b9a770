#include <gtest/gtest.h>

#include "heartbeat_message.h"

namespace {

TEST(ChannelGidTest, FirstMatchingRowDecides) {
    // {1101, 0}: the "second is 0" row comes before the "first is 1101" row.
    const unsigned int rows[][3] = {{0, 0, 0},       {1101, 0, 1101},   {1101, 77, 77},
                                    {1102, 77, 1102}, {1000, 1101, 1000}, {1000, 1102, 1102},
                                    {5, 1102, 1000},  {77, 1000, 1000}};
    for (const auto& row : rows) {
        EXPECT_EQ(VeKov::GetChannelGidForLink(row[0], row[1]), row[2]) << row[0] << ", " << row[1];
    }
}

}  // namespace
