#include "VivirovVizivurad/Browser/GlassBrowserModel.h"

#include <QColor>
#include <QUrl>
#include <QWebEngineHistory>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

#include <filesystem>

#include "VivirovKit/Support/Paths.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/HostTools/PublicAddressCheck.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

namespace vivirov {

namespace {

using Life = GuiLife<GlassBrowserModel>;

std::string expandTilde(const std::string& path) {
    if (path.rfind('~', 0) == 0 && (path.size() == 1 || path[1] == '/')) return paths::home() + path.substr(1);
    return path;
}

// Web addresses follow the web fetch's rule: nothing on this machine or the
// local network. Local files are opened through their own path.
bool isRefusedAddress(const std::string& address) {
    return ToolExecutionManager::isBlockedHost(address) && !PublicAddressCheck::isAllowedForTesting(address);
}

} // namespace

const std::string GlassBrowserModel::glassScript =
    "(function(){"
    "if (document.getElementById('__vivirov_glass')) return;"
    "var s = document.createElement('style');"
    "s.id = '__vivirov_glass';"
    "s.textContent = 'html,body{background:transparent !important;}'"
    " + 'body, p, span, li, td, th, h1,h2,h3,h4,h5,h6, article, section, main, header, footer, div'"
    " + '{background-color:transparent !important; color:rgba(255,255,255,0.86) !important;}'"
    " + 'a{color:rgba(120,200,255,0.95) !important;}'"
    " + 'input,textarea,select,button,code,pre,[role=button]{'"
    " + '  background-color:rgba(20,20,28,0.55) !important; color:rgba(255,255,255,0.92) !important;'"
    " + '  border-color:rgba(255,255,255,0.18) !important;}'"
    " + 'img,video,svg{opacity:0.92;}';"
    "(document.head || document.documentElement).appendChild(s);"
    "})();";

GlassBrowserModel::GlassBrowserModel(QObject* parent) : QObject(parent) {}

GlassBrowserModel::~GlassBrowserModel() { watcher_.stop(); }

QWebEnginePage& GlassBrowserModel::page() {
    if (page_) return *page_;
    page_ = std::make_unique<QWebEnginePage>();
    QWebEngineScript glass;
    glass.setName(QString::fromLatin1(glassElementID));
    glass.setSourceCode(QString::fromStdString(glassScript));
    glass.setInjectionPoint(QWebEngineScript::DocumentCreation);
    glass.setWorldId(QWebEngineScript::MainWorld);
    glass.setRunsOnSubFrames(false);
    page_->scripts().insert(glass);
    page_->setBackgroundColor(QColor(Qt::transparent));
    // The page's reports change the model in later turns of the event loop, in order.
    connect(page_.get(), &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
        QMetaObject::invokeMethod(this, [this, info] { onLoadingChanged(info); }, Qt::QueuedConnection);
    });
    return *page_;
}

void GlassBrowserModel::setLoading(bool loading) {
    if (loading == isLoading_) return;
    isLoading_ = loading;
    emit isLoadingChanged();
    emit changed();
}

std::string GlassBrowserModel::navigate(const std::string& target) {
    const std::string trimmed = text::trimmed(target);
    if (trimmed.empty()) return "error: empty navigation target";

    if (trimmed.starts_with("/") || trimmed.starts_with("~") || trimmed.starts_with("file://")) {
        std::string path;
        if (trimmed.starts_with("file://")) {
            const QUrl parsed(QString::fromStdString(trimmed));
            path = parsed.isValid() ? parsed.path().toStdString() : trimmed.substr(7);
        } else {
            path = expandTilde(trimmed);
        }
        const QUrl fileURL = QUrl::fromLocalFile(QString::fromStdString(path));
        const std::string filePath = fileURL.toLocalFile().toStdString();
        std::error_code ec;
        if (!std::filesystem::exists(filePath, ec)) return "error: no file at " + filePath;
        urlString_ = fileURL.toString(QUrl::FullyEncoded).toStdString();
        emit urlStringChanged();
        setLoading(true);
        page().load(fileURL);
        watcher_.watch(filePath, [weak = life_.weak()] {
            postToGui([weak] {
                if (auto* model = Life::resolve(weak)) model->reloadPage();
            });
        });
        return "ok: opening file " + filePath + " in the in-app browser";
    }

    const std::string address = trimmed.find("://") == std::string::npos ? "https://" + trimmed : trimmed;
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) return "error: invalid URL '" + target + "'";
    if (isRefusedAddress(address))
        return "error: refusing to open a local or private network address in the in-app browser: " + address;
    urlString_ = address;
    emit urlStringChanged();
    setLoading(true);
    watcher_.stop();
    page().load(url);
    return "ok: navigating to " + address;
}

std::string GlassBrowserModel::reloadPage() {
    if (!page_ || page_->url().isEmpty())
        return "note: nothing is loaded yet \xE2\x80\x94 call browser_navigate with a URL or file path first";
    setLoading(true);
    page_->triggerAction(QWebEnginePage::Reload);
    return "ok: reloaded " + page_->url().toString(QUrl::FullyEncoded).toStdString();
}

bool GlassBrowserModel::refreshIfShowing(const std::string& filePath) {
    if (!page_) return false;
    const QUrl shown = page_->url();
    if (shown.isEmpty() || !shown.isLocalFile()) return false;
    const std::string asked = KqueueFileWatcher::standardisedPath(filePath);
    if (KqueueFileWatcher::standardisedPath(shown.toLocalFile().toStdString()) != asked) return false;
    setLoading(true);
    page_->triggerAction(QWebEnginePage::Reload);
    return true;
}

void GlassBrowserModel::extractText(std::function<void(std::string)> done) {
    page().runJavaScript(QStringLiteral("document.body ? document.body.innerText : ''"),
                         [done = std::move(done)](const QVariant& value) {
                             // Qt answers an invalid value for a script that threw.
                             if (!value.isValid()) {
                                 done("error: extract failed: the page's script did not return");
                                 return;
                             }
                             const std::string text =
                                 value.typeId() == QMetaType::QString ? value.toString().toStdString() : "";
                             done(text::graphemePrefix(text, extractLimit));
                         });
}

void GlassBrowserModel::onLoadingChanged(const QWebEngineLoadingInfo& info) {
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
        setLoading(true);
        if (lastMatchCount_ != 0) {
            lastMatchCount_ = 0;
            emit lastMatchCountChanged();
        }
        break;
    case QWebEngineLoadingInfo::LoadSucceededStatus: {
        // Once more after the load, for documents that replaced the head.
        page().runJavaScript(QString::fromStdString(glassScript));
        setLoading(false);
        const bool back = page().history()->canGoBack();
        if (back != canGoBack_) {
            canGoBack_ = back;
            emit canGoBackChanged();
        }
        if (!page().url().isEmpty()) {
            urlString_ = page().url().toString(QUrl::FullyEncoded).toStdString();
            emit urlStringChanged();
        }
        emit changed();
        break;
    }
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        // Replaced by a newer load, which reports on its own.
        setLoading(false);
        break;
    case QWebEngineLoadingInfo::LoadFailedStatus:
        setLoading(false);
        statusLine_ = info.errorString().toStdString();
        if (statusLine_.empty()) statusLine_ = "The page could not be loaded.";
        emit statusLineChanged();
        emit changed();
        break;
    }
}

} // namespace vivirov
