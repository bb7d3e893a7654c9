#include "keyssheet.h"

#include "keynames.h"
#include "labelcatalogue.h"
#include "windowplace.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QTextBrowser>
#include <QTextDocument>
#include <QVBoxLayout>

#include <memory>

namespace {

using Keys = QList<QKeySequence>;

// Wide enough for the two columns of the sheet without wrapping most
// lines, narrow enough for a screen of 1366 pixels.
constexpr int sheetWidth = 1060;

struct Row
{
    QString keys;
    QString does;
};

// `across` rows side by side in each line of the table.
QString table(const QString &heading, const QList<Row> &rows, int across = 1)
{
    QString html = QStringLiteral("<h3>%1</h3><table cellspacing='0' cellpadding='3'>")
                       .arg(heading.toHtmlEscaped());
    for (qsizetype first = 0; first < rows.size(); first += across) {
        html += QStringLiteral("<tr>");
        for (qsizetype k = first; k < qMin(first + across, rows.size()); ++k)
            html += QStringLiteral("<td style='padding-right:12px; white-space:nowrap'><b>%1</b></td>"
                                   "<td style='padding-right:24px'>%2</td>")
                        .arg(rows.at(k).keys.toHtmlEscaped(), rows.at(k).does.toHtmlEscaped());
        html += QStringLiteral("</tr>");
    }
    return html + QStringLiteral("</table>");
}

// The keys that work alike in every window.
QList<Row> everyWindowRows()
{
    using KeyNames::names;
    const auto key = [](QKeyCombination stroke) { return Keys{QKeySequence(stroke)}; };
    return {
        {KeysSheet::tr("代码的两个字母，如 %1").arg(names({QKeySequence(Qt::Key_R, Qt::Key_O)})),
         KeysSheet::tr("给当前图片添加该标签（如 树根_RO），同点击其按钮；已有该标签时删除它")},
        {names({Qt::Key_Escape}), KeysSheet::tr("丢弃正在等待第二个字母的首字母")},
        {names({Qt::Key_Right}) + QStringLiteral(" / ") + names({Qt::Key_Left}),
         KeysSheet::tr("查看下一张 / 查看上一张（不保存）")},
        {names({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter),
                QKeySequence(Qt::CTRL | Qt::Key_Right)}),
         KeysSheet::tr("保存并下一张")},
        {names(key(Qt::CTRL | Qt::Key_Left)), KeysSheet::tr("保存并上一张")},
        {names(key(Qt::SHIFT | Qt::Key_Return)), KeysSheet::tr("保存，然后转到下一张未标记的图片")},
        {names(key(Qt::CTRL | Qt::Key_S)), KeysSheet::tr("保存当前图片的标签，不移动")},
        {names({Qt::Key_Delete, Qt::Key_Backspace}),
         KeysSheet::tr("删除列表中选中的标签，同双击；未选中时删除最后添加的标签")},
        {names(key(Qt::CTRL | Qt::Key_O)), KeysSheet::tr("加载图片")},
        {names(key(Qt::CTRL | Qt::Key_J)), KeysSheet::tr("跳转到最后标注图片")},
        {names(key(Qt::CTRL | Qt::Key_U)), KeysSheet::tr("转到下一张未标记的图片（不保存）")},
        {names({Qt::Key_S}), KeysSheet::tr("采纳模型建议的标签（不删除已有标签）")},
        {names(key(Qt::CTRL | Qt::Key_I)),
         KeysSheet::tr("转到模型最没有把握的未标记图片（不保存）")},
        {names(key(Qt::CTRL | Qt::SHIFT | Qt::Key_Return)),
         KeysSheet::tr("保存，然后转到模型最没有把握的未标记图片")},
        {names(key(Qt::CTRL | Qt::SHIFT | Qt::Key_A)),
         KeysSheet::tr("（审核人，团队的数据集）接受当前图片已保存的标签")},
        {names(key(Qt::CTRL | Qt::SHIFT | Qt::Key_R)),
         KeysSheet::tr("（审核人，团队的数据集）退回当前图片的标签，并说明原因")},
        {names(key(Qt::CTRL | Qt::Key_D)), KeysSheet::tr("打开数据集窗口")},
        {names(key(Qt::ALT | Qt::Key_Right)) + QStringLiteral(" / ")
             + names(key(Qt::ALT | Qt::Key_Left)),
         KeysSheet::tr("转到符合数据集筛选的下一张 / 上一张（不保存）")},
        {names({Qt::Key_Z}) + KeysSheet::tr("，或双击图片"), KeysSheet::tr("打开检查视图")},
        {names(key(Qt::CTRL | Qt::Key_Z)), KeysSheet::tr("撤销上一步")},
        {names({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)}),
         KeysSheet::tr("重做撤销的一步")},
        {names({Qt::Key_F1}), KeysSheet::tr("打开或关闭本快捷键表")},
    };
}

// Closes the sheet with the main window: a window left open would keep the
// program running once the main window is gone.
class CloseWith final : public QObject
{
public:
    CloseWith(QWidget *mainWindow, QWidget *sheet)
        : QObject(sheet)
        , sheet(sheet)
    {
        mainWindow->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Close)
            sheet->close();
        return false;
    }

private:
    QWidget *sheet;
};

} // namespace

KeysSheet *KeysSheet::open(QWidget *mainWindow, const QStringList &catalogue)
{
    auto *sheet = mainWindow->findChild<KeysSheet *>(QString(), Qt::FindDirectChildrenOnly);
    if (!sheet) {
        sheet = new KeysSheet(mainWindow, catalogue);
        // As large as all it holds, so that nothing needs scrolling.
        // Laid out apart from the browser, which wraps it to its own width.
        const std::unique_ptr<QTextDocument> document(sheet->text->document()->clone());
        document->setTextWidth(sheetWidth);
        const int frame = 2 * sheet->text->frameWidth();
        const QMargins margins = sheet->layout()->contentsMargins();
        sheet->resize(document->size().toSize()
                      + QSize(frame + margins.left() + margins.right() + 8,
                              frame + margins.top() + margins.bottom() + 8));
        // Where it stood last, or in the middle of the window it was asked from.
        if (!WindowPlace::keep(sheet, QStringLiteral("keysSheet"))) {
            const QWidget *asking = QApplication::activeWindow();
            const QRect over = (asking ? asking : mainWindow)->frameGeometry();
            const QRect room = mainWindow->screen()->availableGeometry();
            QRect placed(QPoint(), sheet->size().boundedTo(room.size()));
            placed.moveCenter(over.center());
            placed.moveTo(qBound(room.left(), placed.left(), room.right() + 1 - placed.width()),
                          qBound(room.top(), placed.top(), room.bottom() + 1 - placed.height()));
            sheet->setGeometry(placed);
        }
    }
    sheet->setWindowState(sheet->windowState() & ~Qt::WindowMinimized);
    sheet->show();
    sheet->raise();
    sheet->activateWindow();
    return sheet;
}

KeysSheet::KeysSheet(QWidget *mainWindow, const QStringList &catalogue)
    : QWidget(mainWindow, Qt::Window)
{
    setObjectName(QStringLiteral("keysSheet"));
    setWindowTitle(tr("快捷键"));

    text = new QTextBrowser(this);
    text->setHtml(sheet(catalogue));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);

    auto *closing = new QAction(this);
    closing->setShortcuts({QKeySequence(Qt::Key_F1), QKeySequence(Qt::Key_Escape)});
    connect(closing, &QAction::triggered, this, &QWidget::close);
    addAction(closing);
    new CloseWith(mainWindow, this);
}

QString KeysSheet::sheet(const QStringList &catalogue) const
{
    using KeyNames::names;
    const auto key = [](QKeyCombination stroke) { return Keys{QKeySequence(stroke)}; };
    const QList<Row> everyWindow = everyWindowRows();
    const QList<Row> inspection{
        {tr("滚轮，%1 / %2").arg(names({Qt::Key_Plus}), names({Qt::Key_Minus})),
         tr("放大 / 缩小")},
        {names({Qt::Key_1}), tr("按原始像素显示（100 %）")},
        {names({Qt::Key_0}), tr("适应窗口")},
        {tr("按住左键拖动"), tr("移动画面")},
        {names(key(Qt::CTRL | Qt::Key_R)), tr("重置亮度、对比度和伽马")},
        {tr("单击标签面板中的标签"), tr("添加该标签，或删除已有的该标签")},
    };
    const QList<Row> dataset{
        {tr("双击一行，或在表格中按 %1").arg(names({Qt::Key_Return})),
         tr("在主窗口中显示该图片（不保存）")},
        {names({QKeySequence::Copy}), tr("复制选中的行")},
        {tr("%1、%2、%3、%4")
             .arg(names({Qt::Key_Right}), names({Qt::Key_Left}), names({Qt::Key_Return}),
                  names({Qt::Key_Delete})),
         tr("留给表格使用；其他按键同上")},
        {tr("在文件名框中输入时"), tr("字母与编辑键归文件名框")},
    };
    const QList<Row> sheetKeys{
        {names({Qt::Key_F1}) + QStringLiteral(" / ") + names({Qt::Key_Escape}), tr("关闭")},
    };
    QList<Row> codes;
    for (const QString &entry : catalogue)
        codes.append({labelCode(entry), entry});

    // Two columns side by side, the codes two to a line, so that the whole
    // sheet fits a small screen (1366 × 768) without scrolling.
    return QStringLiteral("<table width='100%' cellspacing='0' cellpadding='0'><tr>"
                          "<td width='52%' valign='top'>%1</td>"
                          "<td width='48%' valign='top' style='padding-left:24px'>%2</td>"
                          "</tr></table>")
        .arg(table(tr("每个窗口（主窗口、检查视图、数据集窗口）"), everyWindow)
                 + table(tr("快捷键表"), sheetKeys),
             table(tr("检查视图"), inspection) + table(tr("数据集窗口"), dataset)
                 + table(tr("标签代码"), codes, 2));
}
