#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

#include "VivirovVizivurad/Models/Fmt.h"

using namespace vivirov;

namespace {
const std::string kDash = "\xE2\x80\x94";
}

TEST(Fmt, Bytes) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0 B"},           {1023, "1023 B"},          {1024, "1 KB"},
        {1536, "2 KB"},       {1048575, "1024 KB"},      {1048576, "1.00 MB"},
        {5000000, "4.77 MB"}, {8540000000, "7.95 GB"},   {-5, "-5 B"},
        {int64_t(1) << 50, "1024.00 TB"},
    };
    for (auto [n, text] : cases) EXPECT_EQ(Fmt::bytes(n), text) << n;
}

TEST(Fmt, Rate) {
    const std::pair<double, std::string> cases[] = {
        {0, kDash}, {0.99, kDash}, {1, "1 B/s"}, {1536.9, "2 KB/s"},
        {std::nan(""), kDash}, {std::numeric_limits<double>::infinity(), kDash}, {1e30, kDash},
    };
    for (auto [r, text] : cases) EXPECT_EQ(Fmt::rate(r), text) << r;
}

TEST(Fmt, Eta) {
    const std::pair<double, std::string> cases[] = {
        {0, kDash},      {-3, kDash},        {std::nan(""), kDash}, {0.4, "0s"},
        {45.9, "45s"},   {60, "1m 0s"},      {125, "2m 5s"},        {3599, "59m 59s"},
        {3600, "1h 0m"}, {3725, "1h 2m"},    {172861, "48h 1m"},
        {std::numeric_limits<double>::infinity(), kDash},
    };
    for (auto [t, text] : cases) EXPECT_EQ(Fmt::eta(t), text) << t;
}

TEST(Fmt, DecimalPointIgnoresTheProcessLocale) {
    // Any locale with a decimal comma that this machine has would do.
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    bool comma = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
        if (std::setlocale(LC_NUMERIC, name)) {
            comma = true;
            break;
        }
    }
    EXPECT_EQ(Fmt::bytes(5000000), "4.77 MB");
    EXPECT_EQ(Fmt::rate(8540000000.0), "7.95 GB/s");
    std::setlocale(LC_NUMERIC, saved.c_str());
    if (!comma) GTEST_SKIP() << "no locale with a decimal comma installed";
}
