#include <gtest/gtest.h>

#include "VivirovVizivurad/Models/DownloadRateWindow.h"

using namespace vivirov;

TEST(DownloadRateWindow, MeasuresOverWindowsOfAtLeastHalfASecond) {
    const uint64_t start = 7'000'000'000;
    DownloadRateWindow window(start);
    EXPECT_EQ(window.sample(start + 300'000'000, 1'000'000), std::nullopt); // window still open
    EXPECT_EQ(window.sample(start + 600'000'000, 3'000'000), 5'000'000.0);  // from (start, 0)
    // The next window opens at the closing sample.
    EXPECT_EQ(window.sample(start + 900'000'000, 9'000'000), std::nullopt);
    EXPECT_EQ(window.sample(start + 1'600'000'000, 4'000'000), 1'000'000.0);
}
