#include <gtest/gtest.h>

#include "VivirovVizivurad/HostTools/DestructiveCommandFilter.h"
#include "VivirovVizivurad/HostTools/FetchRedirectGuard.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

using namespace vivirov;

TEST(DestructiveCommandFilter, RefusesByTheFirstMatchingRule) {
    const std::string wipe = "recursive delete of root or home directory (rm -rf / or ~)";
    const std::string format = "filesystem format or raw-device write (mkfs / dd of=/dev)";
    const std::string system = "write to a protected system volume (/System, /usr, /bin)";
    struct Case {
        const char* command;
        std::optional<std::string> reason;
    };
    for (const Case& c : std::vector<Case>{
             {"rm -rf /tmp/build", wipe},
             {"RM   -RF\t~", wipe},
             {"rm -rf $HOME/projects", wipe},
             {"dd if=/dev/zero of=/dev/sda bs=1M", format},
             {"./mkfsomething --flag", format},
             {":(){ :|:& };:", "fork bomb"},
             {"chmod -R 000 /", "remove all permissions on root or home (chmod -R 000)"},
             {"echo x > /usr/local/thing", system},
             {"echo x >/SYSTEM/Library/x", system},
             {"echo x >>   /bin/ls", system},
             {"echo x > usr/local/thing", std::nullopt},
             {"sudo rm -rf /", wipe},                        // matched before "sudo " is removed
             {"sudo echo x >sudo /usr/x", "sudo " + system}, // found only once "sudo " is removed
             {"rm -r -f /", std::nullopt},
             {"ls -la ~/Documents && echo done", std::nullopt},
             {"", std::nullopt},
         })
        EXPECT_EQ(DestructiveCommandFilter::isBlocked(c.command), c.reason) << c.command;
}

TEST(HostRule, BlocksEverythingButPublicWebHosts) {
    for (const char* url : {"http://localhost:8080/x", "https://LOCALHOST", "http://127.0.0.1/", "http://10.1.2.3",
                            "http://172.20.0.1", "http://192.168.1.1/admin", "http://169.254.169.254/latest",
                            "http://0.0.0.0", "http://[::1]:80/", "http://[fd00::1]/", "http://[fe80::1]/",
                            "http://[::ffff:127.0.0.1]/", "http://printer.local/", "http://db.internal",
                            "http://app.localhost", "ftp://example.com/file", "file:///etc/passwd", "example.com",
                            "https://", "http://user@127.0.0.1/", ""})
        EXPECT_TRUE(ToolExecutionManager::isBlockedHost(url)) << url;
    for (const char* url : {"http://172.32.0.1", "http://100.64.0.1", "https://8.8.8.8/dns", "https://example.com/page",
                            "HTTPS://Example.com", "http://256.1.1.1", "http://10.0.0", "http://[2001:db8::1]/",
                            "http://172.15.0.1"})
        EXPECT_FALSE(ToolExecutionManager::isBlockedHost(url)) << url;
}

TEST(FetchRedirectGuard, FollowsOnlyRedirectsToAllowedHosts) {
    FetchRedirectGuard guard;
    EXPECT_EQ(guard.willPerformHTTPRedirection("http://127.0.0.1/secret"), std::nullopt);
    EXPECT_EQ(guard.willPerformHTTPRedirection("http://169.254.169.254/"), std::nullopt);
    EXPECT_EQ(guard.willPerformHTTPRedirection("https://other.example/next"),
              std::optional<std::string>("https://other.example/next"));
}
