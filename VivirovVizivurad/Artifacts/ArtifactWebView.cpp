#include "VivirovVizivurad/Artifacts/ArtifactWebView.h"

#include <QFile>
#include <QSaveFile>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <atomic>

#include "VivirovVizivurad/Artifacts/ArtifactFolder.h"
#include "VivirovVizivurad/Artifacts/ArtifactPage.h"
#include "VivirovVizivurad/Artifacts/ArtifactSizeBridge.h"

namespace vivirov {

namespace {
// Pages post sizes as window.webkit.messageHandlers.artifactSize.postMessage;
// here that name forwards to the host over the web channel, queueing until
// the channel is up.
const QString channelShim = QStringLiteral(
    "(function(){var queue=[];var host=null;"
    "window.webkit=window.webkit||{};window.webkit.messageHandlers=window.webkit.messageHandlers||{};"
    "window.webkit.messageHandlers.artifactSize={postMessage:function(v){if(host){host.postMessage(v);}else{queue.push(v);}}};"
    "new QWebChannel(qt.webChannelTransport,function(ch){host=ch.objects.artifactSize;"
    "queue.forEach(function(v){host.postMessage(v);});queue=[];});})();");

const QString sizeScript = QStringLiteral(
    "(function(){function report(){try{var b=document.body,d=document.documentElement;"
    "var h=Math.max(b?b.scrollHeight:0,d?d.scrollHeight:0,b?b.offsetHeight:0,d?d.offsetHeight:0);"
    "if(h>0){window.webkit.messageHandlers.artifactSize.postMessage(h);}}catch(e){}}"
    "if(window.ResizeObserver){var ro=new ResizeObserver(function(){report();});"
    "if(document.documentElement)ro.observe(document.documentElement);if(document.body)ro.observe(document.body);}"
    "window.addEventListener('load',report);window.addEventListener('resize',report);"
    "setTimeout(report,60);setTimeout(report,300);setTimeout(report,1200);})();");

QString channelLibrary() {
    QFile file(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QWebEngineScript script(const QString& name, const QString& source, QWebEngineScript::InjectionPoint point) {
    QWebEngineScript s;
    s.setName(name);
    s.setSourceCode(source);
    s.setInjectionPoint(point);
    s.setWorldId(QWebEngineScript::MainWorld);
    s.setRunsOnSubFrames(false);
    return s;
}

int nextViewNumber() {
    static std::atomic<int> counter{0};
    return ++counter;
}
} // namespace

ArtifactWebView::ArtifactWebView(QWidget* parent, QString folder)
    : QWebEngineView(parent), folder_(folder.isEmpty() ? ArtifactFolder::defaultPath() : std::move(folder)) {
    page()->settings()->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    page()->setBackgroundColor(Qt::transparent);
    bridge_ = new ArtifactSizeBridge(this);
    channel_ = new QWebChannel(this);
    channel_->registerObject(QStringLiteral("artifactSize"), bridge_);
    page()->setWebChannel(channel_, QWebEngineScript::MainWorld);
    page()->scripts().insert(script(QStringLiteral("artifact-channel"), channelLibrary() + channelShim,
                                    QWebEngineScript::DocumentCreation));
    page()->scripts().insert(script(QStringLiteral("artifact-size"), sizeScript, QWebEngineScript::DocumentReady));
}

ArtifactWebView::~ArtifactWebView() {
    channel_->deregisterObject(bridge_);
    if (!pageFile_.isEmpty()) QFile::remove(pageFile_);
}

void ArtifactWebView::setOnHeight(std::function<void(double)> onHeight) { bridge_->onHeight = std::move(onHeight); }

void ArtifactWebView::setArtifact(const Artifact& artifact) {
    const QString text = ArtifactPage::scaffold(artifact);
    if (text == lastLoaded_) return;
    lastLoaded_ = text;
    ++loads_;

    if (ArtifactFolder::prepare(folder_)) {
        ArtifactFolder::stageRuntime(folder_);
        // One file per view: views of one kind loading together must not
        // read each other's page.
        if (pageFile_.isEmpty())
            pageFile_ = folder_ + QStringLiteral("/artifact-") + QString::fromLatin1(rawValue(artifact.kind)) +
                        u'-' + QString::number(nextViewNumber()) + QStringLiteral(".html");
        QSaveFile file(pageFile_);
        if (file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit()) {
            load(QUrl::fromLocalFile(pageFile_));
            return;
        }
    }
    setHtml(text, QUrl());
}

} // namespace vivirov
