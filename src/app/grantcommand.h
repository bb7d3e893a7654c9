#pragma once

#include <QString>

#include <functional>

class TeamAddress;
class TeamDatabase;

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

// Opens the dataset at `addressText` as its owner and hands it to `change`;
// a bad address or a failed open is reported with status 2. A member's role
// could never open a dataset not granted to it: only the owner gets as far
// as `change`, and the dataset is made when it is new.
GrantReport changeDataset(const QString &addressText,
                          const std::function<GrantReport(TeamDatabase &, const TeamAddress &)> &change);
