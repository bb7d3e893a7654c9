#pragma once

#include <QString>

// `norvanta --grant ROLE ADDRESS` and `norvanta --revoke ROLE ADDRESS`: the
// owner of the team's tables lets a database role (a member's login, or a
// group role of several) read and save the address's dataset, or takes
// that back. Nothing is shown but one line.
struct GrantReport
{
    int status = 0; // 0 done, 1 refused by the server, 2 a bad command line or no server
    QString text;
};

// With `reviewer` (only when granting) the role becomes a reviewer of the
// dataset too, and stays one through later plain grants.
GrantReport changeGrant(const QString &role, const QString &addressText, bool granting,
                        bool reviewer = false);
