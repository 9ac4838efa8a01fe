#pragma once
#include <QObject>
#include <QString>

namespace vivirov {

// The engine host's GUI-thread face: what the views and the chat controller
// read of the in-process engine. Properties change on the GUI thread only.
class VizivuradEngine : public QObject {
    Q_OBJECT
    // Shown while a model loads; empty when nothing loads.
    Q_PROPERTY(QString loadingStatus READ loadingStatus WRITE setLoadingStatus NOTIFY loadingStatusChanged)

public:
    static VizivuradEngine& shared();

    QString loadingStatus() const { return loadingStatus_; }
    bool isLoading() const { return !loadingStatus_.isEmpty(); }
    void setLoadingStatus(const QString& status);
    void clearLoadingStatus() { setLoadingStatus(QString()); }

signals:
    void loadingStatusChanged();

private:
    using QObject::QObject;
    QString loadingStatus_;
};

} // namespace vivirov
