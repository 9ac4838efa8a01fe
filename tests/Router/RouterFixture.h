#pragma once
// A clean launch for router tests: every variable the router reads is unset
// (the hardware tier pinned to medium), settings in a temporary INI file, the
// local server's health probe pointed at a loopback server that is down
// (503) until a test brings it up, and the key store's router accounts empty
// for the test and restored afterwards.
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <QSettings>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "VivirovVizivurad/Platform/Keychain.h"
#include "VivirovVizivurad/Providers/ProviderRouter.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/SecretServiceProbe.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

class RouterFixture : public ::testing::Test {
protected:
    static constexpr const char* kVariables[] = {
        "VIVIROV_PROVIDER",     "VIVIROV_SHOW_LEGACY_ENGINES", "VIVIROV_ENABLE_ROZAZU", "VIVIROV_HW_PROFILE",
        "VIVIROV_CHAT_MODEL",   "VIVIROV_VM_MODEL",            "RIZERU_ROZAZU_URL",     "VIVIROV_COMPAT_BASE_URL",
        "VIVIROV_RIZERU_BASE_URL", "VIVIROV_DEROV_BASE_URL",   "HOME"};
    static constexpr const char* kAccounts[] = {"Anthropic", "OpenAI", "Gemini", "Grok", "OpenAI-Compat",
                                                "OpenAI-Compat-Base"};

    void SetUp() override {
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            savedEnv_[name] = value ? std::optional<std::string>(value) : std::nullopt;
            unsetenv(name);
        }
        setenv("HOME", home_.path().c_str(), 1);
        setenv("VIVIROV_HW_PROFILE", "16g", 1);
        setenv("VIVIROV_RIZERU_BASE_URL", health_.baseURL().c_str(), 1);
        health_.setHandler([up = serverUp_](const RecordedRequest&) {
            return *up ? ScriptedResponse::json(200, R"({"status":"ok"})")
                       : ScriptedResponse::json(503, R"({"status":"loading"})");
        });
        if (secretServiceAnswers()) {
            for (const char* account : kAccounts) {
                savedKeys_[account] = Keychain::read(account);
                Keychain::remove(account);
            }
        }
    }

    void TearDown() override {
        for (const auto& [account, value] : savedKeys_) {
            if (value)
                Keychain::save(account, *value);
            else
                Keychain::remove(account);
        }
        for (const auto& [name, value] : savedEnv_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

    static void setEnv(const char* name, const std::optional<std::string>& value) {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }

    std::string settingsPath() const { return dir_.file("defaults.ini"); }
    std::unique_ptr<QSettings> settings() const {
        return std::make_unique<QSettings>(QString::fromStdString(settingsPath()), QSettings::IniFormat);
    }
    // What is stored under a key (none when nothing is).
    std::optional<std::string> stored(const std::string& key) const {
        QVariant value = settings()->value(QString::fromStdString(key));
        return value.isValid() ? std::optional<std::string>(value.toString().toStdString()) : std::nullopt;
    }
    void store(const std::string& key, const std::string& value) const {
        auto s = settings();
        s->setValue(QString::fromStdString(key), QString::fromStdString(value));
        s->sync();
    }
    std::unique_ptr<ProviderRouter> launch() const { return std::make_unique<ProviderRouter>(settings()); }

    static std::shared_ptr<LLMProvider> provider(const ProviderRouter& router, const std::string& id) {
        for (const auto& p : router.providers())
            if (p->id() == id) return p;
        return nullptr;
    }
    static std::vector<std::string> ids(const ProviderRouter& router) {
        std::vector<std::string> out;
        for (const auto& p : router.providers()) out.push_back(p->id());
        return out;
    }

    TempDir dir_;
    TempDir home_;
    std::shared_ptr<std::atomic<bool>> serverUp_ = std::make_shared<std::atomic<bool>>(false);
    HttpTestServer health_;

private:
    std::map<std::string, std::optional<std::string>> savedEnv_;
    std::map<std::string, std::optional<std::string>> savedKeys_;
};

} // namespace vivirov::test
