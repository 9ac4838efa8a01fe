#pragma once
#include <QObject>
#include <QVariant>
#include <functional>

namespace vivirov {

// The host end of the page's "artifactSize" messages: a number above 1 is a
// content height; anything else is ignored.
class ArtifactSizeBridge : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    std::function<void(double)> onHeight;

    static std::optional<double> height(const QVariant& body);

public slots:
    void postMessage(const QVariant& body);
};

} // namespace vivirov
