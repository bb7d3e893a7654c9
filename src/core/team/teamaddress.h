#pragma once

#include <QCoreApplication>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

// Where a team's annotations live: a dataset on a PostgreSQL server, named by
// an address of the form
//   postgresql://[USER@][HOST][:PORT]/DBNAME?dataset=NAME[&PARAM=VALUE...]
// (also postgres://), where libpq's parameters may follow the dataset. A
// password never stands in it: it comes from ~/.pgpass or PGPASSWORD, so the
// address can be shown, logged and put in a window as it is.
class TeamAddress final
{
    Q_DECLARE_TR_FUNCTIONS(TeamAddress)

public:
    // Whether `text` means a server rather than an annotation file.
    static bool isAddress(const QString &text);
    // The address in `text`, or nothing with the reason in `error`.
    static std::optional<TeamAddress> parse(const QString &text, QString *error);
    // A dataset name: 1 to 63 letters, digits, "_", "-" or ".".
    static bool isDatasetName(const QString &name);

    // The address as given; it holds no password.
    const QString &displayText() const { return text; }
    const QString &dataset() const { return datasetName; }
    // The libpq connection options for QSqlDatabase::setConnectOptions(),
    // every value quoted; the driver then adds nothing of its own.
    QString connectOptions() const;
    // The value of libpq parameter `key` as the address sets it, else empty.
    QString parameter(const QString &key) const;

private:
    // The user, host and port before the database name; the parameters after
    // "?" (split at "&"), the dataset among them. False with the reason in `error`.
    bool takeAuthority(QString authority, QString *error);
    bool takeQuery(const QStringList &pairs, QString *error);

    QString text;
    QString datasetName;
    QList<QPair<QString, QString>> parameters;
};

// Who saves: `named` (from --annotator) when given, else the environment
// variable NORVANTA_ANNOTATOR, else empty: then the server names the
// database role the connection was authenticated as.
QString resolveAnnotator(const QString &named);
// A person's name for the saves: 1 to 63 characters, not only spaces, no
// control characters (they would end the fields of what others are told).
bool isAnnotatorName(const QString &name);
