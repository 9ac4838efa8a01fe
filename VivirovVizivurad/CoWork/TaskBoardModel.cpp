#include "VivirovVizivurad/CoWork/TaskBoardModel.h"

namespace vivirov {

TaskBoardModel::TaskBoardModel(TaskStore* store, QObject* parent) : QObject(parent), store_(store) {}

} // namespace vivirov
