#include "undohistory.h"

void UndoHistory::record(const UndoStep &step)
{
    steps.erase(steps.begin() + done, steps.end());
    steps.push_back(step);
    if (qsizetype(steps.size()) > capacity)
        steps.pop_front();
    done = qsizetype(steps.size());
}
