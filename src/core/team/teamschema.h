#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

class QSqlDatabase;

// The team's tables, functions, rights and row security on the server. The
// role that owns the tables (the owner) makes them, and brings a database
// made by an earlier version of the program to this form at its next open;
// every other role (a member) only reads the tables and calls the
// functions, each of which runs as the owner and checks first that the
// calling role was granted the dataset. See the README.
namespace TeamSchema {

// The form of the tables and functions this program makes. The first
// version kept no number: its database lacks the table norvanta_schema.
constexpr int version = 4;

// The SQLSTATEs the functions raise.
inline QString noGrant() { return QStringLiteral("NV002"); }
inline QString badAnnotator() { return QStringLiteral("NV003"); }

// Makes or brings up to date what the database lacks, when the role owns
// the tables (or nothing is there yet); false with the reason in `error`,
// which names what a member's role lacks or that the owner must open the
// database first.
bool ensure(const QSqlDatabase &db, const QStringList &labels, QString *error);

// Whether the connection's role owns the team's tables.
bool isOwner(const QSqlDatabase &db, QString *error);

struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(TeamSchema)
};

} // namespace TeamSchema
