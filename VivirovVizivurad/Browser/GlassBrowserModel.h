#pragma once
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

#include "VivirovKit/Watch/KqueueFileWatcher.h"
#include "VivirovVizivurad/Chat/GuiThread.h"

class QWebEngineLoadingInfo;
class QWebEnginePage;

namespace vivirov {

// The agent's in-app browser: one off-screen web page that opens web
// addresses and local files, reloads a shown local file when it changes,
// and reads back the text the page shows. Every page gets the glass style
// (transparent backgrounds, light text). The properties are what a view
// showing the browser would observe.
//
// GUI thread only. The page is created on the first operation that needs it.
class GlassBrowserModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString urlString READ urlStringText NOTIFY urlStringChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool canGoBack READ canGoBack NOTIFY canGoBackChanged)
    Q_PROPERTY(int lastMatchCount READ lastMatchCount NOTIFY lastMatchCountChanged)
    Q_PROPERTY(QString statusLine READ statusLineText NOTIFY statusLineChanged)

public:
    // Displayed before the first navigation; never loaded.
    static constexpr const char* initialURL = "https://en.wikipedia.org/wiki/Web_browser";
    static constexpr size_t extractLimit = 8000;
    // Marks the style element, so a page holds it once.
    static constexpr const char* glassElementID = "__vivirov_glass";
    static const std::string glassScript;

    explicit GlassBrowserModel(QObject* parent = nullptr);
    ~GlassBrowserModel() override;

    const std::string& urlString() const { return urlString_; }
    bool isLoading() const { return isLoading_; }
    bool canGoBack() const { return canGoBack_; }
    int lastMatchCount() const { return lastMatchCount_; }
    const std::string& statusLine() const { return statusLine_; }

    // Opens a web address or a local file ("/…", "~…", "file://…"); the text
    // reports the request, not the load.
    std::string navigate(const std::string& target);
    std::string reloadPage();
    // Calls `done` on the GUI thread with the page's text (at most 8000
    // characters) or an error text.
    void extractText(std::function<void(std::string)> done);
    // Reloads when the page shows this file ("~", "." and ".." allowed).
    bool refreshIfShowing(const std::string& filePath);

    // The model's weak end, for the hub and callbacks on other threads.
    GuiLife<GlassBrowserModel>::Weak weakSelf() const { return life_.weak(); }

    // The page, created on first use.
    QWebEnginePage& page();

signals:
    void changed();
    void urlStringChanged();
    void isLoadingChanged();
    void canGoBackChanged();
    void lastMatchCountChanged();
    void statusLineChanged();

private:
    QString urlStringText() const { return QString::fromStdString(urlString_); }
    QString statusLineText() const { return QString::fromStdString(statusLine_); }
    void setLoading(bool loading);
    void onLoadingChanged(const QWebEngineLoadingInfo& info);

    std::string urlString_ = initialURL;
    bool isLoading_ = false;
    bool canGoBack_ = false;
    int lastMatchCount_ = 0;
    std::string statusLine_;
    std::unique_ptr<QWebEnginePage> page_;
    KqueueFileWatcher watcher_;
    GuiLife<GlassBrowserModel> life_{this};
};

} // namespace vivirov
