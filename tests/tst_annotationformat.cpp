#include <QTest>
class Stub : public QObject { Q_OBJECT private slots: void nothing() {} };
QTEST_MAIN(Stub)
#include "tst_annotationformat.moc"
