#include "line/target_lookup.h"

#include "net/addresses.h"

#include <QTimer>

TargetLookup::TargetLookup(HostLookup lookup, QObject* parent)
    : QObject(parent), m_lookup(std::move(lookup)) {}

void TargetLookup::start(const QStringList& hosts) {
    m_answers = QList<Answer>(hosts.size());
    m_ids = QList<int>(hosts.size(), -1);
    m_pending = hosts.size();
    m_starting = true;
    for (qsizetype i = 0; i < hosts.size(); ++i) {
        const QHostAddress literal(hosts[i]);
        if (!literal.isNull()) {
            answered(i, {literal}, {});
            continue;
        }
        m_ids[i] =
            m_lookup.start(hosts[i], this, [this, i](const QList<QHostAddress>& found, const QString& error) {
                answered(i, found, error);
            });
    }
    m_starting = false;
    // Always from the event loop, also when every target was an address.
    if (m_pending == 0)
        QTimer::singleShot(0, this, &TargetLookup::finished);
}

void TargetLookup::answered(qsizetype index, const QList<QHostAddress>& addresses, const QString& error) {
    m_ids[index] = -1;
    m_answers[index] = {preferredAddress(addresses),
                        addresses.isEmpty() ? (error.isEmpty() ? QStringLiteral("no address") : error)
                                            : QString()};
    if (--m_pending == 0 && !m_starting && !signalsBlocked())
        QTimer::singleShot(0, this, &TargetLookup::finished);
}

void TargetLookup::abandon() {
    blockSignals(true);
    for (int& id : m_ids) {
        if (id >= 0)
            m_lookup.abandon(std::exchange(id, -1));
    }
}
