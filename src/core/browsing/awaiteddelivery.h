#pragma once

#include <QCoreApplication>

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

// Hands the decoded result of `ticket` to whoever awaits it, posted to the
// application's thread: what came in between (another picture asked for,
// the pictures cleared or gone) has reset `awaited` by then, and nobody is
// called. `State` has `mutex`, `awaited`, `ready` and `entries`, each entry
// a `ticket` and the result at `result`.
template <typename State, typename Result, typename Entry>
void deliverAwaited(const std::weak_ptr<State> &weakState, quint64 ticket, Result Entry::*result)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), [weakState, ticket, result] {
        const std::shared_ptr<State> owner = weakState.lock();
        if (!owner)
            return;
        std::function<void(const Result &)> ready;
        Result delivered;
        {
            const std::lock_guard lock(owner->mutex);
            if (owner->awaited != ticket)
                return;
            owner->awaited = 0;
            ready = std::exchange(owner->ready, nullptr);
            for (const Entry &entry : std::as_const(owner->entries)) {
                if (entry.ticket == ticket)
                    delivered = entry.*result;
            }
        }
        if (ready)
            ready(delivered);
    }, Qt::QueuedConnection);
}
