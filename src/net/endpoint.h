#pragma once

#include <QHostAddress>
#include <QString>

// "host:port" for messages, logs and tables; an IPv6 address in brackets.
[[nodiscard]] inline QString endpointText(const QString& host, quint16 port) {
    const bool v6 = host.contains(QLatin1Char(':'));
    return (v6 ? QLatin1Char('[') + host + QLatin1Char(']') : host) + QLatin1Char(':') +
           QString::number(port);
}
[[nodiscard]] inline QString endpointText(const QHostAddress& address, quint16 port) {
    return endpointText(address.toString(), port);
}
