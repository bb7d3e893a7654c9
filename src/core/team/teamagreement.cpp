#include "teamagreement.h"

#include "labelagreement.h"
#include "teamdatabase.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace TeamAgreement {

namespace {

struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(TeamAgreement)
};

QString failedRead(const QSqlError &failure)
{
    const QString text = failure.databaseText().trimmed();
    return Texts::tr("无法读取标签数据库：") + (text.isEmpty() ? failure.text() : text);
}

} // namespace

// Row security shows a member only the second rows of datasets granted to
// it; the dataset's row must exist, as it does for every saved second row.
bool readPairs(const TeamAddress &address, const QStringList &catalogue, AgreementTally *tally,
               QString *error, bool *unreachable)
{
    TeamDatabase database(address, catalogue, QString(), QString());
    QString reason;
    *unreachable = !database.open(&reason);
    if (*unreachable) {
        *error = Texts::tr("无法连接标签数据库：") + reason;
        return false;
    }
    QSqlQuery query(QSqlDatabase::database(database.connectionName(), false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT coalesce(s.first_flags, a.flags), s.flags FROM norvanta_second_rows s"
        " JOIN norvanta_annotations a ON a.dataset = s.dataset AND a.image = s.image"
        " WHERE s.dataset = ? AND s.flags IS NOT NULL"));
    query.addBindValue(database.dataset());
    if (!query.exec()) {
        *error = failedRead(query.lastError());
        return false;
    }
    while (query.next())
        tally->add(quint32(query.value(0).toLongLong()), quint32(query.value(1).toLongLong()));
    if (query.lastError().isValid()) {
        *error = failedRead(query.lastError());
        return false;
    }
    return true;
}

} // namespace TeamAgreement
