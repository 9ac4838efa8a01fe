#pragma once
#include <QDialog>

namespace vivirov {

// A sheet whose contents are not built yet: its title and a close button.
// Closing it by any means runs `onClose` once.
class PlaceholderSheet : public QDialog {
    Q_OBJECT
public:
    PlaceholderSheet(const QString& symbol, const QString& title, QWidget* parent = nullptr);

signals:
    void closed();

protected:
    void done(int result) override;
};

} // namespace vivirov
