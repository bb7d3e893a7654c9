// Resuming a folder that is labelled with gaps: going to the next image that
// the annotation file does not mark, by the rule that the count line uses.
#include "tavrelin.h"
#include "windowactivity.h"

#include "annotationstore.h"
#include "serverwaiting.h"

#include <QMessageBox>

void Tavrelin::goToNextUnmarkedImage()
{
    const OneAction action(windowActivity);
    if (!imageSession.hasCurrent())
        return;

    // A file that cannot be read marks nothing, as for the counts.
    annotationStore->refresh();
    // On a team's server, the image found is held for this window at once,
    // so that no other window's Ctrl+U takes it too.
    QString error;
    qsizetype next = -1;
    {
        ServerWaiting waiting(this, tr("正在查询标签数据库…"));
        next = annotationStore->takeNextUnmarked(imageSession.position(),
                                                 [&waiting] { return waiting.keepWaiting(); },
                                                 &error);
    }
    // A move like a view button's: it neither saves nor clears the flag.
    if (imageSession.moveTo(next))
        loadCurrentImage();
    else if (!error.isEmpty())
        QMessageBox::warning(this, tr("Error"), tr("无法连接标签数据库：") + error);
    else
        QMessageBox::information(this, tr("Info"), tr("后面没有未标记的图片"));
}
