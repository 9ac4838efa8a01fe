#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "VivirovKit/Tools/CapabilityManifest.h"
#include "VivirovKit/Tools/ToolRegistry.h"

using namespace vivirov;

namespace {

// Sets or clears VIVIROV_MAX_TOOLS for one scope.
class MaxToolsEnv {
public:
    explicit MaxToolsEnv(std::optional<std::string> value) {
        if (const char* old = std::getenv(kName)) old_ = old;
        if (value) setenv(kName, value->c_str(), 1);
        else unsetenv(kName);
    }
    ~MaxToolsEnv() {
        if (old_) setenv(kName, old_->c_str(), 1);
        else unsetenv(kName);
    }

private:
    static constexpr const char* kName = "VIVIROV_MAX_TOOLS";
    std::optional<std::string> old_;
};

void registerAll(ToolRegistry& registry, const std::vector<std::string>& names) {
    for (const auto& name : names)
        registry.registerTool(ToolSchema{name, "", {}}, [](const std::map<std::string, std::string>&) {
            return std::string();
        });
}

// `count` filler tools named t00, t01, … plus the given ones.
std::vector<std::string> withFiller(std::vector<std::string> names, int count) {
    for (int i = 0; i < count; ++i) names.push_back((i < 10 ? "t0" : "t") + std::to_string(i));
    return names;
}

std::vector<std::string> toolNames(const CapabilityManifest& manifest) {
    std::vector<std::string> out;
    for (const auto& tool : manifest.tools) out.push_back(tool.name);
    return out;
}

CapabilityManifest allReady(const ToolRegistry& registry, std::string providerID = "anthropic") {
    return CapabilityManifest::build(registry, true, true, true, true, providerID, "Claude");
}

} // namespace

TEST(CapabilityManifest, CapFromProviderAndEnvironment) {
    struct Case {
        std::optional<std::string> env;
        const char* provider;
        size_t expected; // of 30 registered tools
    };
    const Case cases[] = {
        {std::nullopt, "anthropic", 24},
        {std::nullopt, "rizeru-local", 12},
        {std::nullopt, "rizeru-rozazu", 12},
        {std::nullopt, "Rizeru-local", 24}, // the prefix is case-sensitive
        {"0", "anthropic", 0},
        {"+5", "anthropic", 5},
        {"", "anthropic", 24},
        {"abc", "anthropic", 24},
        {" 12", "anthropic", 24},
        {"12.5", "rizeru-local", 12},
        {"18446744073709551616", "anthropic", 24}, // beyond 64 bits
        {"-3", "anthropic", 24},                   // never a count to keep
        {"100", "rizeru-local", 30},
    };
    ToolRegistry registry;
    registerAll(registry, withFiller({}, 30));
    for (const auto& c : cases) {
        MaxToolsEnv env(c.env);
        EXPECT_EQ(allReady(registry, c.provider).tools.size(), c.expected)
            << (c.env ? "'" + *c.env + "'" : "unset") << " " << c.provider;
    }
}

TEST(CapabilityManifest, PriorityOrderOnlyWhenTheCapBites) {
    MaxToolsEnv env(std::nullopt);
    const std::vector<std::string> listed = {"web_search", "browser_navigate", "execute_bash", "write_file",
                                             "read_file"};
    {
        ToolRegistry registry;
        registerAll(registry, withFiller(listed, 25)); // 30 tools, cap 24
        auto names = toolNames(allReady(registry));
        std::vector<std::string> expected = {"read_file", "write_file", "execute_bash", "web_search",
                                             "browser_navigate"};
        for (int i = 0; i < 19; ++i) expected.push_back((i < 10 ? "t0" : "t") + std::to_string(i));
        EXPECT_EQ(names, expected);
    }
    {
        ToolRegistry registry;
        registerAll(registry, withFiller(listed, 15)); // 20 tools: name order, nothing removed
        auto names = toolNames(allReady(registry));
        ASSERT_EQ(names.size(), 20u);
        EXPECT_EQ(names.front(), "browser_navigate");
        EXPECT_LT(std::find(names.begin(), names.end(), "browser_navigate"),
                  std::find(names.begin(), names.end(), "read_file"));
    }
}

TEST(CapabilityManifest, ReadinessFilters) {
    MaxToolsEnv env(std::nullopt);
    ToolRegistry registry;
    registerAll(registry, {"WEB_SEARCH_PRO", "web_fetch", "browser_navigate", "browser_read", "image_generate",
                           "Generate_Image_HD", "read_file"});
    struct Case {
        bool browser, web, imageGen;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {true, true, true,
         {"Generate_Image_HD", "WEB_SEARCH_PRO", "browser_navigate", "browser_read", "image_generate", "read_file",
          "web_fetch"}},
        {true, false, true,
         {"Generate_Image_HD", "browser_navigate", "browser_read", "image_generate", "read_file", "web_fetch"}},
        {false, true, true, {"Generate_Image_HD", "WEB_SEARCH_PRO", "image_generate", "read_file", "web_fetch"}},
        {true, true, false, {"WEB_SEARCH_PRO", "browser_navigate", "browser_read", "read_file", "web_fetch"}},
    };
    for (const auto& c : cases) {
        auto manifest = CapabilityManifest::build(registry, c.browser, c.web, c.imageGen, false, "x", "X");
        EXPECT_EQ(toolNames(manifest), c.expected) << c.browser << c.web << c.imageGen;
    }
}

TEST(CapabilityManifest, TheCapComesBeforeTheFilters) {
    MaxToolsEnv env(std::nullopt);
    ToolRegistry registry;
    registerAll(registry, withFiller({"read_file", "web_search"}, 20));
    auto manifest = CapabilityManifest::build(registry, true, false, true, true, "rizeru-local", "Rizeru");
    EXPECT_EQ(manifest.tools.size(), 11u);
}

TEST(CapabilityManifest, Description) {
    MaxToolsEnv env(std::nullopt);
    ToolRegistry registry;
    registerAll(registry, {"read_file", "web_search"});
    EXPECT_EQ(CapabilityManifest::build(registry, true, true, false, true, "anthropic", "Claude").description,
              "You currently have: read_file, web_search. Active brain: Claude. Browser LOADED. Web ON. "
              "No image-gen. Vision ON. Call ONLY the tools listed above; do not invent others.");
    // Web off is left out, not negated.
    EXPECT_EQ(CapabilityManifest::build(registry, false, false, true, false, "x", "Local").description,
              "You currently have: read_file. Active brain: Local. Browser OFF. Image-gen ON. No vision. "
              "Call ONLY the tools listed above; do not invent others.");

    MaxToolsEnv none("0");
    auto empty = allReady(registry);
    EXPECT_TRUE(empty.tools.empty());
    EXPECT_EQ(empty.description.rfind("You currently have: (none). Active brain: Claude.", 0), 0u);
}
