#pragma once
#include <QWidget>

class QHBoxLayout;

namespace vivirov {

class QuintoraViewModel;

// The notes recalled for the current question, as one horizontal strip
// headed "Synaptic Recall". Empty (and hidden) while nothing was recalled.
class SynapticRecallStrip : public QWidget {
    Q_OBJECT
public:
    explicit SynapticRecallStrip(QuintoraViewModel& vm, QWidget* parent = nullptr);
    QStringList titles() const { return titles_; }

private:
    void rebuild();

    QuintoraViewModel& vm_;
    QHBoxLayout* row_;
    QStringList titles_;
};

} // namespace vivirov
