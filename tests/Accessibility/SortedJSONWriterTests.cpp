#include <gtest/gtest.h>

#include "VivirovVizivurad/Accessibility/SortedJSONWriter.h"

using namespace vivirov;

TEST(SortedJSONWriter, SortsKeysAndEscapesLikeThePlatformWriter) {
    const json::Value value = {
        {"b", json::Value::array({1, "x/y"})},
        {"a", {{"z", "line\nbreak \"q\" \\ \x01"}, {"Z", -2}}},
        {"é", json::Value::object()},
        {"c", json::Value::array()},
    };
    EXPECT_EQ(writeSortedJSON(value, false),
              R"({"a":{"Z":-2,"z":"line\nbreak \"q\" \\ \u0001"},"b":[1,"x\/y"],"c":[],"é":{}})");
    EXPECT_EQ(writeSortedJSON(value, true), "{\n"
                                            "  \"a\" : {\n"
                                            "    \"Z\" : -2,\n"
                                            "    \"z\" : \"line\\nbreak \\\"q\\\" \\\\ \\u0001\"\n"
                                            "  },\n"
                                            "  \"b\" : [\n"
                                            "    1,\n"
                                            "    \"x\\/y\"\n"
                                            "  ],\n"
                                            "  \"c\" : [],\n"
                                            "  \"é\" : {}\n"
                                            "}");
    // What it writes parses back to the same value.
    EXPECT_EQ(json::Value::parse(writeSortedJSON(value, true)), value);
}
