#pragma once
#include <QWebEngineView>
#include <functional>

#include "VivirovKit/Agentic/ArtifactEngine.h"

class QWebChannel;

namespace vivirov {

class ArtifactSizeBridge;

// Shows one artifact's page with a transparent background and reports the
// rendered content's height. The page is served from a file of this view's
// own, next to the staged runtimes; it reloads only when its text changes.
class ArtifactWebView : public QWebEngineView {
    Q_OBJECT
public:
    explicit ArtifactWebView(QWidget* parent = nullptr, QString folder = QString());
    ~ArtifactWebView() override;

    // Called on the GUI thread with each reported height above 1.
    void setOnHeight(std::function<void(double)> onHeight);
    // Loads the artifact's page unless its text is the one last loaded. A
    // folder that cannot be written falls back to loading the text directly.
    void setArtifact(const Artifact& artifact);

    int loadCount() const { return loads_; }
    QString pageFile() const { return pageFile_; }

private:
    QString folder_;
    QString lastLoaded_;
    QString pageFile_;
    int loads_ = 0;
    QWebChannel* channel_ = nullptr;
    ArtifactSizeBridge* bridge_ = nullptr;
};

} // namespace vivirov
