#pragma once

#include "net/host_lookup.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

// The addresses of a run's targets, all looked up at once in the background so that a slow name
// service holds up neither the others nor a Ctrl-C. An address is known at once.
class TargetLookup : public QObject {
    Q_OBJECT
public:
    struct Answer {
        QHostAddress address; // null when the name could not be looked up
        QString error;        // why not
    };

    explicit TargetLookup(HostLookup lookup, QObject* parent = nullptr);

    // Looks up every host; finished() follows, from the event loop, once all have answered.
    void start(const QStringList& hosts);
    // Abandons the look-ups under way; finished() does not come.
    void abandon();
    [[nodiscard]] const QList<Answer>& answers() const { return m_answers; }

signals:
    void finished();

private:
    void answered(qsizetype index, const QList<QHostAddress>& addresses, const QString& error);

    HostLookup m_lookup;
    QList<Answer> m_answers;
    QList<int> m_ids; // look-ups under way, -1 where answered
    qsizetype m_pending = 0;
    bool m_starting = false; // answers that come inside start() leave finished() to it
};
