#include "net/addresses.h"

#include <QNetworkInterface>

bool isGroupAddress(const QHostAddress& remote) {
    if (remote.isBroadcast() || remote.isMulticast())
        return true;
    if (remote.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : nic.addressEntries()) {
            if (!entry.broadcast().isNull() &&
                entry.broadcast().isEqual(remote, QHostAddress::TolerantConversion))
                return true;
        }
    }
    return false;
}

QHostAddress preferredAddress(const QList<QHostAddress>& found) {
    for (const QHostAddress& a : found) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol)
            return a;
    }
    return found.value(0);
}
