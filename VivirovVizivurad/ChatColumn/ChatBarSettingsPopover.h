#pragma once
#include <QFrame>

class QAbstractButton;
class QLabel;

namespace vivirov {

class QuintoraViewModel;

// The composer's settings popover: the loaded model file and two rows that
// open the settings sheet at the sampler or the model manager.
class ChatBarSettingsPopover : public QFrame {
    Q_OBJECT
public:
    static constexpr int fixedWidth = 248;

    explicit ChatBarSettingsPopover(QuintoraViewModel& vm, QWidget* parent = nullptr);

    // "No model loaded", or the model file's name.
    static QString modelName(const std::string& currentModelPath);

    QLabel* modelLabel() const { return model_; }
    QAbstractButton* samplerRow() const { return sampler_; }
    QAbstractButton* managerRow() const { return manager_; }

signals:
    // A row was chosen or the popover was dismissed.
    void closed();

protected:
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QAbstractButton* row(const QString& symbol, const QString& title);
    void refresh();

    QuintoraViewModel& vm_;
    QLabel* model_;
    QAbstractButton* sampler_;
    QAbstractButton* manager_;
};

} // namespace vivirov
