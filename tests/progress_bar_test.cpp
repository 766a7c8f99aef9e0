// The progress bar's arithmetic: fill, green and white columns, text place, and
// when a step draws a picture at all.
#include <gtest/gtest.h>

#include <vector>

#include "app/progress_bar.h"
#include "pfc/frontend.h"

namespace kistwerk {
namespace {

TEST(BarLayout, ColumnsAndTextFollowThePercentage)
{
    struct Row {
        int percent, width;
        int fill, greenLeft, greenRight, whiteLeft, whiteRight, textX;
    };
    const Row rows[] = {
        // Green 1 .. fill-1, white fill .. W-2.
        {50, 200, 99, 1, 98, 99, 198, 100},
        {100, 200, 199, 1, 198, 199, 198, 100},  // all green, no white
        {0, 200, 0, 1, 0, 1, 198, 100},          // all white
        {1, 50, 0, 1, -1, 1, 48, 25},            // too little for one green column
        {3, 50, 1, 1, 0, 1, 48, 25},             // white starts at column 1, not 0
        {33, 195, 64, 1, 63, 64, 193, 97},
        {99, 101, 99, 1, 98, 99, 99, 50},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.percent << " % of " << r.width);
        BarLayout b = barLayout(r.percent, r.width);
        EXPECT_EQ(b.fill, r.fill);
        EXPECT_EQ(b.greenLeft, r.greenLeft);
        EXPECT_EQ(b.greenRight, r.greenRight);
        EXPECT_EQ(b.whiteLeft, r.whiteLeft);
        EXPECT_EQ(b.whiteRight, r.whiteRight);
        EXPECT_EQ(b.textX, r.textX);
        EXPECT_EQ(b.textY, 2);
    }
}

TEST(BarLayout, EveryColumnInsideTheFrameIsPaintedOnce)
{
    for (int width : {3, 17, 200, 257}) {
        for (int percent = 0; percent <= 100; ++percent) {
            SCOPED_TRACE(testing::Message() << percent << " % of " << width);
            BarLayout b = barLayout(percent, width);
            std::vector<int> painted(static_cast<std::size_t>(width), 0);
            for (int x = b.greenLeft; x <= b.greenRight; ++x)
                ++painted[static_cast<std::size_t>(x)];
            for (int x = b.whiteLeft; x <= b.whiteRight; ++x)
                ++painted[static_cast<std::size_t>(x)];
            for (int x = 1; x <= width - 2; ++x)
                ASSERT_EQ(painted[static_cast<std::size_t>(x)], 1) << "column " << x;
            EXPECT_EQ(painted[0], 0);
            EXPECT_EQ(painted[static_cast<std::size_t>(width - 1)], 0);
        }
    }
}

// Pictures drawn for a run of `items` steps, as the conversion pass sets percent.
std::vector<int> picturesFor(unsigned items)
{
    std::vector<int> pictures;
    int lastDrawn = 0;
    for (unsigned done = 1; done <= items; ++done) {
        int percent = static_cast<int>(done * 100 / items);
        if (needsPicture(percent, lastDrawn)) {
            pictures.push_back(percent);
            lastDrawn = percent;
        }
    }
    return pictures;
}

TEST(NeedsPicture, DrawsOncePerNewPercentage)
{
    EXPECT_EQ(picturesFor(4), (std::vector<int>{25, 50, 75, 100}));
    EXPECT_EQ(picturesFor(3), (std::vector<int>{33, 66, 100}));
    std::vector<int> many = picturesFor(300);
    ASSERT_EQ(many.size(), 100u);  // none for 0 %
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(many[static_cast<std::size_t>(i)], i + 1);
    EXPECT_TRUE(picturesFor(0).empty());
}

TEST(NeedsPicture, ClampsAbove100AndSkipsTheSameValue)
{
    struct Row {
        int percent, lastDrawn;
        bool draws;
        int percentAfter;
    };
    const Row rows[] = {
        {0, 0, false, 0},
        {57, 57, false, 57},
        {58, 57, true, 58},
        {150, 100, true, 100},  // differs before the clamp, so it is drawn as 100
        {250, 0, true, 100},
        {40, 60, true, 40},     // a second run starts low again
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.percent << " after " << r.lastDrawn);
        int percent = r.percent;
        EXPECT_EQ(needsPicture(percent, r.lastDrawn), r.draws);
        EXPECT_EQ(percent, r.percentAfter);
    }
}

} // namespace
} // namespace kistwerk
