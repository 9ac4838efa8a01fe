#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "VivirovKit/Agentic/FabricationGuard.h"

namespace vivirov {
namespace {

using Findings = std::vector<FabricationGuard::Finding>;

FabricationGuard::Finding price(const std::string& v) { return {"price", v}; }
FabricationGuard::Finding stock(const std::string& v) { return {"stock", v}; }
FabricationGuard::Finding sku(const std::string& v) { return {"SKU", v}; }

TEST(FabricationGuard, FlagsFiguresThatNoToolResultBacks) {
    struct Case {
        const char* name;
        std::string message;
        Findings expected;
    } cases[] = {
        {"empty message", "", {}},
        {"no figures", "Happy to help with your order today.", {}},
        {"unbacked rupee price", "The kettle costs \u20b91,299.", {price("\u20b91,299")}},
        {"backed without commas", "<tool_result>price: 1299</tool_result> It costs \u20b91,299.",
         {}},
        {"backed with a zero fraction", "<tool_result>1299.00</tool_result> It is Rs. 1,299 now",
         {}},
        {"backed by a longer number", "<tool_result>id 5129934</tool_result> Only INR 1299", {}},
        {"one-digit count backed by any digit", "<tool_result>order 1970</tool_result> 7 units",
         {}},
        {"same digits as sign and Rs give one finding", "\u20b9500 now, was Rs 500",
         {price("\u20b9500")}},
        {"same digits as price and count give two", "Rs 40 each, 40 pcs left",
         {price("Rs 40"), stock("40 pcs")}},
        {"no word boundary before the Rs marker", "We have USERS 10 times over",
         {price("RS 10")}},
        {"units then in stock ends after units", "There are 12 units in stock",
         {stock("12 units")}},
        {"unbacked code", "Order ABC-123 today", {sku("ABC-123")}},
        {"code backed by its letters and digits", "<tool_result>abc123</tool_result> ABC-123",
         {}},
        {"deny list", "Supports WI-FI, UTF-8 and the RTX-3090 card", {}},
        {"lower-case, mixed-case and single-letter codes never match",
         "abc-123 Abc-123 A-123", {}},
        {"tool result text is not scanned", "<tool_result>\u20b9999, 3 pcs, XY-9</tool_result>",
         {}},
        {"tags in any letter case", "<TOOL_RESULT>1299</Tool_Result> costs \u20b91,299", {}},
        {"an attributed tag backs nothing",
         "<tool_result tool=\"shop\">1299</tool_result> costs \u20b91299",
         {price("\u20b91299")}},
        {"an unclosed tool result backs nothing", "<tool_result>1299 costs \u20b91299",
         {price("\u20b91299")}},
        {"prices, then counts, then codes", "AB-12 first, then 5 pcs, then \u20b910",
         {price("\u20b910"), stock("5 pcs"), sku("AB-12")}},
        {"repeats of one kind collapse", "5 pcs here and 5 pieces there", {stock("5 pcs")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FabricationGuard::scan(c.message), c.expected);
    }
}

TEST(FabricationGuard, ScansFromManyThreadsAtOnce) {
    const std::string message = "Only 3 units of XK-200 left at \u20b94,999";
    const Findings expected = {price("\u20b94,999"), stock("3 units"), sku("XK-200")};
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                if (FabricationGuard::scan(message) != expected) ++mismatches[t];
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

} // namespace
} // namespace vivirov
