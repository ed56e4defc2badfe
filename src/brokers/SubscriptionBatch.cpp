// Net subscription changes per event-loop turn.
#include "brokers/SubscriptionBatch.h"

#include <algorithm>
#include <utility>

namespace {

QStringList inOrder(const QHash<QString, quint64>& keys, const std::function<bool(const QString&)>& keep)
{
    std::vector<std::pair<quint64, QString>> picked;
    for (auto it = keys.constBegin(); it != keys.constEnd(); ++it) {
        if (keep(it.key()))
            picked.emplace_back(it.value(), it.key());
    }
    std::sort(picked.begin(), picked.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList out;
    out.reserve(int(picked.size()));
    for (auto& p : picked)
        out.append(std::move(p.second));
    return out;
}

}  // namespace

SubscriptionBatch::SubscriptionBatch(std::function<bool()> isReady, std::function<void(const Change&)> sender,
                                     QObject* parent)
    : QObject(parent), ready(std::move(isReady)), send(std::move(sender))
{
}

void SubscriptionBatch::add(const QStringList& keys)
{
    for (const QString& key : keys) {
        if (!key.isEmpty() && !wantedKeys.contains(key))
            wantedKeys.insert(key, next++);
    }
    schedule();
}

void SubscriptionBatch::remove(const QStringList& keys)
{
    for (const QString& key : keys)
        wantedKeys.remove(key);
    schedule();
}

void SubscriptionBatch::removeIf(const std::function<bool(const QString&)>& pred)
{
    for (auto it = wantedKeys.begin(); it != wantedKeys.end();)
        it = pred(it.key()) ? wantedKeys.erase(it) : std::next(it);
    schedule();
}

void SubscriptionBatch::removeAll()
{
    wantedKeys.clear();
    schedule();
}

QStringList SubscriptionBatch::wanted() const
{
    return inOrder(wantedKeys, [](const QString&) { return true; });
}

QStringList SubscriptionBatch::waiting() const
{
    return inOrder(wantedKeys, [this](const QString& key) { return !sentKeys.contains(key); });
}

void SubscriptionBatch::streamReplaced()
{
    sentKeys.clear();
    flush();
}

void SubscriptionBatch::clear()
{
    wantedKeys.clear();
    sentKeys.clear();
}

void SubscriptionBatch::schedule()
{
    if (due)
        return;
    due = true;
    QMetaObject::invokeMethod(this, [this] { flush(); }, Qt::QueuedConnection);
}

void SubscriptionBatch::flush()
{
    due = false;
    if (!ready())
        return;
    Change change;
    change.added = inOrder(wantedKeys, [this](const QString& key) { return !sentKeys.contains(key); });
    change.removed = inOrder(sentKeys, [this](const QString& key) { return !wantedKeys.contains(key); });
    if (change.added.isEmpty() && change.removed.isEmpty())
        return;
    for (const QString& key : qAsConst(change.removed))
        sentKeys.remove(key);
    for (const QString& key : qAsConst(change.added))
        sentKeys.insert(key, wantedKeys.value(key));
    send(change);
}
