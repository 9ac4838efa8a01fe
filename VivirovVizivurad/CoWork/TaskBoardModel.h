#pragma once
#include <QObject>

namespace vivirov {

class TaskStore;

// The task board over the task store (none when the store could not be
// opened). GUI thread.
class TaskBoardModel : public QObject {
    Q_OBJECT

public:
    explicit TaskBoardModel(TaskStore* store, QObject* parent = nullptr);
    TaskStore* store() const { return store_; }

private:
    TaskStore* store_;
};

} // namespace vivirov
