#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "VivirovKit/Tools/ToolRegistry.h"

using namespace vivirov;

namespace {

ToolSchema tool(std::string name, std::string description = "") {
    return ToolSchema{std::move(name), std::move(description), {}};
}

PlainToolHandler answer(std::string text) {
    return [text](const std::map<std::string, std::string>&) { return text; };
}

std::string call(const ToolRegistry& registry, std::string name, std::map<std::string, std::string> args = {}) {
    return registry.dispatch(ProviderToolCall{"id", std::move(name), std::move(args)});
}

std::vector<std::string> names(const ToolRegistry& registry) {
    std::vector<std::string> out;
    for (const auto& schema : registry.schema()) out.push_back(schema.name);
    return out;
}

std::string pluginText(const std::string& name, const std::string& plugin) {
    return "error: '" + name + "' is a plugin tool (" + plugin +
           ") with no in-process handler; route via the host MCP server.";
}

} // namespace

TEST(ToolRegistry, RegisterDispatchAndList) {
    ToolRegistry registry;
    EXPECT_TRUE(registry.schema().empty());

    registry.registerTool(tool("read_file", "v1"), answer("one"));
    registry.registerTool(tool("execute_bash"), [](const std::map<std::string, std::string>& args) {
        return "ran " + args.at("command");
    });
    registry.registerTool(tool("read_file", "v2"), answer("two"));
    registry.registerTool(tool("Zeta"), answer("z"));

    // Byte order: upper case before lower case; a replaced name appears once.
    EXPECT_EQ(names(registry), (std::vector<std::string>{"Zeta", "execute_bash", "read_file"}));
    EXPECT_EQ(registry.schema().back().description, "v2");
    EXPECT_EQ(call(registry, "read_file"), "two");
    EXPECT_EQ(call(registry, "execute_bash", {{"command", "ls"}}), "ran ls");
}

TEST(ToolRegistry, FailuresComeBackAsText) {
    ToolRegistry registry;
    registry.registerTool(tool("read_file"), answer("ok"));
    registry.registerTool(tool("x"), [](const std::map<std::string, std::string>&) -> std::string {
        throw std::runtime_error("disk on fire");
    });
    registry.registerTool(tool("y"), [](const std::map<std::string, std::string>&) -> std::string { throw 42; });

    EXPECT_EQ(call(registry, "foo"), "error: unknown tool 'foo'");
    EXPECT_EQ(call(registry, "Read_File"), "error: unknown tool 'Read_File'");
    EXPECT_EQ(call(registry, "x"), "error: x threw: disk on fire");
    EXPECT_EQ(call(registry, "y"), "error: y threw: unknown error");
}

TEST(ToolRegistry, PluginToolsAnswerWithTheirPluginText) {
    ToolRegistry registry;
    EXPECT_FALSE(registry.pluginEnabled("gh"));
    registry.setPluginTools({tool("gh_issue"), tool("gh_pr")}, "gh");
    EXPECT_TRUE(registry.pluginEnabled("gh"));
    EXPECT_EQ(call(registry, "gh_pr", {{"any", "thing"}}), pluginText("gh_pr", "gh"));

    registry.setPluginTools({tool("gh_pr")}, "gh"); // replaces the whole set
    EXPECT_EQ(names(registry), (std::vector<std::string>{"gh_pr"}));

    registry.setPluginTools({}, "gh");
    EXPECT_FALSE(registry.pluginEnabled("gh"));
    EXPECT_TRUE(registry.schema().empty());
    EXPECT_EQ(call(registry, "gh_pr"), "error: unknown tool 'gh_pr'");
}

// A plug-in may shadow a host tool; withdrawing it must give the host tool
// back rather than leave the agent without, say, its shell.
TEST(ToolRegistry, WithdrawingAPluginRestoresTheHostTool) {
    ToolRegistry registry;
    registry.registerTool(tool("execute_bash", "host"), answer("host ran it"));
    registry.setPluginTools({tool("execute_bash", "plugin")}, "shell");
    EXPECT_EQ(call(registry, "execute_bash"), pluginText("execute_bash", "shell"));
    EXPECT_EQ(registry.schema().front().description, "plugin");

    registry.setPluginTools({}, "shell");
    EXPECT_EQ(call(registry, "execute_bash"), "host ran it");
    EXPECT_EQ(registry.schema().front().description, "host");

    // A host registration made while the plug-in held the name wins and stays.
    registry.setPluginTools({tool("execute_bash", "plugin")}, "shell");
    registry.registerTool(tool("execute_bash", "host 2"), answer("host 2"));
    registry.setPluginTools({}, "shell");
    EXPECT_EQ(call(registry, "execute_bash"), "host 2");
}

TEST(ToolRegistry, ASharedPluginNameStaysWithTheRemainingPlugin) {
    struct Case {
        const char* what;
        bool secondStoredLast;
    };
    for (Case c : {Case{"second stored last", true}, Case{"first stored last", false}}) {
        SCOPED_TRACE(c.what);
        ToolRegistry registry;
        if (c.secondStoredLast) {
            registry.setPluginTools({tool("lookup", "a")}, "a");
            registry.setPluginTools({tool("lookup", "b")}, "b");
        } else {
            registry.setPluginTools({tool("lookup", "b")}, "b");
            registry.setPluginTools({tool("lookup", "a")}, "a");
        }
        registry.setPluginTools({}, "a");
        EXPECT_EQ(call(registry, "lookup"), pluginText("lookup", "b"));
        EXPECT_EQ(registry.schema().front().description, "b");
        registry.setPluginTools({}, "b");
        EXPECT_TRUE(registry.schema().empty());
    }
}

TEST(ToolRegistry, DisplayNames) {
    const std::pair<const char*, const char*> rows[] = {
        {"execute_bash", "Bash"},          {"pdf_extract", "PDF/Doc"},
        {"dispatch_derov_swarm", "Derov Swarm"}, {"image_generate", "Image"},
        {"generate_image", "Image"},       {"research_swarm", "Research Swarm"},
        {"browser_refresh", "browser_refresh"}, {"", ""},
    };
    for (auto [name, label] : rows) EXPECT_EQ(ToolRegistry::displayName(name), label) << name;
}

// Handlers run outside the lock: a handler may call back into the registry,
// and a slow handler does not hold up other dispatches or changes.
TEST(ToolRegistry, HandlersRunOutsideTheLock) {
    ToolRegistry registry;
    registry.registerTool(tool("inner"), answer("inner result"));
    registry.registerTool(tool("outer"), [&registry](const std::map<std::string, std::string>&) {
        registry.registerTool(tool("late"), answer("late"));
        return "outer saw " + call(registry, "inner");
    });
    EXPECT_EQ(call(registry, "outer"), "outer saw inner result");
    EXPECT_EQ(call(registry, "late"), "late");
}

// Run under ThreadSanitizer in CI: dispatch, registration and plug-in changes
// from several threads at once, with handlers that themselves use the registry.
TEST(ToolRegistry, ConcurrentDispatchRegisterAndPluginChanges) {
    ToolRegistry registry;
    std::atomic<int> handled{0};
    registry.registerTool(tool("count"), [&](const std::map<std::string, std::string>&) {
        handled.fetch_add(1);
        return std::string("counted");
    });
    registry.registerTool(tool("shared"), answer("host"));

    constexpr int rounds = 300;
    std::vector<std::jthread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                if (call(registry, "count") != "counted") bad.fetch_add(1);
                std::string shared = call(registry, "shared");
                if (shared != "host" && shared != pluginText("shared", "p1") && shared != pluginText("shared", "p2"))
                    bad.fetch_add(1);
                (void)registry.schema();
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < rounds; ++i) {
            registry.setPluginTools({tool("shared"), tool("p1_only")}, "p1");
            (void)registry.pluginEnabled("p1");
            registry.setPluginTools({}, "p1");
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < rounds; ++i) {
            registry.setPluginTools({tool("shared")}, "p2");
            registry.registerTool(tool("extra" + std::to_string(i % 7)), answer("x"));
            registry.setPluginTools({}, "p2");
        }
    });
    threads.clear(); // joins

    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(handled.load(), 4 * rounds);
    // Every plug-in withdrew: the host tool is back and no plug-in name is left.
    EXPECT_EQ(call(registry, "shared"), "host");
    EXPECT_EQ(call(registry, "p1_only"), "error: unknown tool 'p1_only'");
    EXPECT_FALSE(registry.pluginEnabled("p1"));
}

TEST(ToolRegistry, DispatchHandsTheCallersStopTokenToTheHandler) {
    ToolRegistry registry;
    registry.registerTool(tool("wait"), [](const std::map<std::string, std::string>&, std::stop_token stop) {
        return std::string(stop.stop_requested() ? "stopped" : "running");
    });
    std::stop_source source;
    EXPECT_EQ(registry.dispatch(ProviderToolCall{"id", "wait", {}}, source.get_token()), "running");
    source.request_stop();
    EXPECT_EQ(registry.dispatch(ProviderToolCall{"id", "wait", {}}, source.get_token()), "stopped");
}
