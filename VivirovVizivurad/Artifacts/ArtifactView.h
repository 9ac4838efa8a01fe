#pragma once
#include <QWidget>
#include <functional>
#include <optional>

#include "VivirovKit/Agentic/ArtifactEngine.h"

class QLabel;
class QToolButton;
class QVBoxLayout;

namespace vivirov {

class ArtifactWebView;

// The card of one artifact: a header (kind icon, title, kind label, a LIVE
// badge while streaming, and focus, source, copy and close buttons) over the
// rendered artifact or its source. With autosize the card takes the height of
// its content plus the header.
class ArtifactView : public QWidget {
    Q_OBJECT
public:
    // Header plus divider: a page's reported height plus this is the card.
    static constexpr int chromeHeight = 48;
    static constexpr int copiedMs = 1200;

    ArtifactView(const Artifact& artifact, std::function<void()> onClose, std::function<void()> onFocus,
                 bool autosize, QWidget* parent = nullptr, QString folder = QString());

    // The owner passes the artifact again whenever it changes.
    void setArtifact(const Artifact& artifact);

    // 520 for source or Markdown, 408 until a height is reported, then the
    // report plus 48.
    double autosizeHeight() const;
    std::optional<double> measuredHeight() const { return measuredHeight_; }
    bool showsSource() const { return showSource_; }
    bool copied() const { return copied_; }
    bool showsLiveBadge() const;
    QList<QToolButton*> headerButtons() const;
    QToolButton* sourceButton() const { return sourceButton_; }
    QToolButton* copyButton() const { return copyButton_; }
    ArtifactWebView* webView() const { return webView_; }
    QWidget* header() const { return header_; }

    static QString symbolName(ArtifactKind kind);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QToolButton* headerButton(const QString& symbol, const QString& help, std::function<void()> action);
    void setButtonSymbol(QToolButton* button, const QString& symbol, const QString& help);
    void toggleSource();
    void copySource();
    void rebuildBody();
    void refreshHeader();
    void applyHeight();

    Artifact artifact_;
    bool autosize_ = false;
    bool showSource_ = false;
    bool copied_ = false;
    std::optional<double> measuredHeight_;
    QString folder_;

    QWidget* header_ = nullptr;
    QLabel* icon_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* kindLabel_ = nullptr;
    QWidget* liveBadge_ = nullptr;
    QToolButton* sourceButton_ = nullptr;
    QToolButton* copyButton_ = nullptr;
    QVBoxLayout* bodyLayout_ = nullptr;
    QWidget* body_ = nullptr;
    ArtifactWebView* webView_ = nullptr;
};

} // namespace vivirov
