#pragma once
#include <QWidget>

#include "VivirovVizivurad/ChatColumn/ToolCallRowModel.h"

class QLabel;
class QPushButton;
class QVariantAnimation;

namespace vivirov {

class Spinner;

// A tool call in the transcript: icon, title, argument preview, spinner or
// check mark, and once a result is there a toggle between a one-line
// preview and the whole result. Only `expanded` is its own state.
class InlineToolCallView : public QWidget {
    Q_OBJECT
public:
    static constexpr int maxWidth = 560;

    explicit InlineToolCallView(ToolCallRowModel model, QWidget* parent = nullptr);

    // New inputs for the same row; the expansion is kept.
    void setModel(ToolCallRowModel model);
    const ToolCallRowModel& model() const { return model_; }
    bool isExpanded() const { return expanded_; }
    void toggle();

    QPushButton* toggleButton() const { return toggle_; }
    QLabel* resultText() const { return result_; }
    QLabel* previewLabel() const { return previewText_; }
    bool showsSpinner() const;
    bool showsCheck() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    ToolCallRowModel model_;
    bool expanded_ = false;
    QLabel* icon_;
    QLabel* title_;
    QLabel* args_;
    Spinner* spinner_;
    QLabel* check_;
    QPushButton* toggle_;
    QLabel* chevron_;
    QLabel* previewText_;
    QLabel* result_;
    QVariantAnimation* pulse_ = nullptr;
};

} // namespace vivirov
