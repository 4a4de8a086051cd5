#include <gtest/gtest.h>

#include "point_layout.h"

namespace tavrik::virt {
namespace {

struct Placement {
    uint32_t type;
    uint32_t index;
    uint32_t bit;
};

struct LayoutCase {
    const char* name;
    std::vector<uint8_t> config;
    bool extended;
    std::vector<Placement> points;
    uint32_t imageLength;
};

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, PlacesPointsByTheirCodes) {
    const LayoutCase& c = GetParam();
    const PointLayout layout = layoutFor(c.config, c.extended);
    ASSERT_EQ(layout.points.size(), c.points.size());
    for (size_t i = 0; i < c.points.size(); ++i) {
        EXPECT_EQ(layout.points[i].type, c.points[i].type) << "point " << i;
        EXPECT_EQ(layout.points[i].index, c.points[i].index) << "point " << i;
        EXPECT_EQ(layout.points[i].bit, c.points[i].bit) << "point " << i;
    }
    EXPECT_EQ(layout.imageLength, c.imageLength);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, LayoutTest,
    ::testing::Values(
        // Inputs at bits 0, 1 and 24, outputs at 2 and 3, poe_status aligned up to byte 1.
        LayoutCase{"mixed",
                   {0, 0, 1, 65, 8, 0},
                   false,
                   {{0, 0, 0}, {0, 1, 1}, {1, 0, 2}, {1, 1, 3}, {8, 0, 8}, {0, 2, 24}},
                   4},
        // 0x42 keeps its bit but names no type; 0xC1 masks to the relay code on a basic module.
        LayoutCase{"basic mask", {0x42, 0xC1, 0}, false, {{1, 0, 1}, {0, 0, 2}}, 1},
        LayoutCase{"extended mask", {0x42, 0xC1, 0}, true, {{0, 0, 2}}, 1},
        LayoutCase{
            "wide types aligned",
            {0, 5, 9, 10, 11, 12, 4},
            true,
            {{0, 0, 0}, {5, 0, 8}, {9, 0, 24}, {10, 0, 40}, {11, 0, 56}, {12, 0, 72}, {4, 0, 88}},
            12},
        LayoutCase{"empty", {}, false, {}, 0}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST(PointLayout, HostValuesInvertOneBitPointsOnly) {
    const PointLayout layout = layoutFor({0, 12}, true);
    std::vector<uint8_t> image(layout.imageLength, 0);
    writeRaw(image, layout.points[0], wireValue(layout.points[0], 1));
    writeRaw(image, layout.points[1], wireValue(layout.points[1], 0x1234));
    EXPECT_EQ(image, (std::vector<uint8_t>{0x00, 0x34, 0x12}));
    EXPECT_EQ(hostValue(layout.points[0], readRaw(image, layout.points[0])), 1);
    EXPECT_EQ(hostValue(layout.points[1], readRaw(image, layout.points[1])), 0x1234);
}

TEST(PointLayout, TakesOnlyWritablePointsWhollyInsideTheChunk) {
    // outputs bit 0, inputs bit 1, poe_maxpower bytes 1 and 2, watchdog bytes 3 and 4.
    const PointLayout layout = layoutFor({1, 0, 12, 5}, true);
    std::vector<uint8_t> image(layout.imageLength, 0);
    const uint8_t chunk[] = {0x03, 0xCD, 0xAB, 0x78, 0x56};
    takeWritablePoints(image, layout, chunk, 0, 4);  // the watchdog word straddles the end
    EXPECT_EQ(image, (std::vector<uint8_t>{0x01, 0xCD, 0xAB, 0x00, 0x00}));
    takeWritablePoints(image, layout, chunk + 3, 3, 2);
    EXPECT_EQ(image, (std::vector<uint8_t>{0x01, 0xCD, 0xAB, 0x78, 0x56}));
}

}  // namespace
}  // namespace tavrik::virt
