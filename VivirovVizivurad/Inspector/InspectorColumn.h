#pragma once
#include <QWidget>

class QAbstractButton;
class QStackedWidget;

namespace vivirov {

class ContentViewModel;
class RuzorAvirTab;

// The window's right-hand column: a two-tab switch ("Activity",
// "Ruzor-Avir") and the hide button, over the selected tab. The tab lives
// in the window's model, so it survives hiding and rebuilding the column.
class InspectorColumn : public QWidget {
    Q_OBJECT
public:
    explicit InspectorColumn(ContentViewModel& model, QWidget* parent = nullptr);

    QAbstractButton* tabButton(int index) const;
    QAbstractButton* hideButton() const { return hide_; }
    QWidget* currentTab() const;
    QWidget* activityTab() const { return activity_; }
    RuzorAvirTab* ruzorAvirTab() const { return ruzorAvir_; }

private:
    void showTab();

    ContentViewModel& model_;
    QAbstractButton* tabs_[2];
    QAbstractButton* hide_;
    QStackedWidget* pages_;
    QWidget* activity_;
    RuzorAvirTab* ruzorAvir_;
};

} // namespace vivirov
