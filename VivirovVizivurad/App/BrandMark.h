#pragma once
#include <QWidget>

namespace vivirov {

// The app's mark: a static ring with a core, brighter while a turn streams.
class BrandMark : public QWidget {
    Q_OBJECT
public:
    BrandMark(bool active, int size, QWidget* parent = nullptr);
    void setActive(bool active);
    bool isActive() const { return active_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool active_;
};

} // namespace vivirov
