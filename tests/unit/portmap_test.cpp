// Port-number-to-device map: default paths, overrides and "N=PATH" parsing.
#include "link/PortMap.h"

#include <gtest/gtest.h>

TEST(PortMap, DefaultsAndOverrides) {
    PortMap map;
    EXPECT_EQ(map.PathFor(1), "/dev/ttyS0");
    EXPECT_EQ(map.PathFor(10), "/dev/ttyS9");
    EXPECT_EQ(map.PathFor(0), "");
    EXPECT_EQ(map.PathFor(11), "");
    EXPECT_TRUE(map.ParseAssignment("3=/dev/ttyUSB0"));
    EXPECT_TRUE(map.IsOverridden(3));
    EXPECT_FALSE(map.IsOverridden(4));
    EXPECT_EQ(map.PathFor(3), "/dev/ttyUSB0");
    EXPECT_EQ(map.PathFor(4), "/dev/ttyS3");
    EXPECT_TRUE(map.ParseAssignment("10=/dev/pts/7"));  // a path containing '=' is kept whole below
    EXPECT_TRUE(map.ParseAssignment("2=/tmp/a=b"));
    EXPECT_EQ(map.PathFor(2), "/tmp/a=b");
    EXPECT_EQ(map.PathFor(10), "/dev/pts/7");
}

TEST(PortMap, MalformedAssignmentsAreRejectedAndChangeNothing) {
    for (const char* bad : {"", "=", "3", "3=", "=/dev/x", "0=/dev/x", "11=/dev/x", "-1=/dev/x", "x=/dev/x",
                            "3x=/dev/x", " 3=/dev/x", "99999999999=/dev/x"}) {
        PortMap map;
        EXPECT_FALSE(map.ParseAssignment(bad)) << bad;
        for (int n = 1; n <= PortMap::kPorts; ++n) EXPECT_FALSE(map.IsOverridden(n)) << bad;
    }
}
