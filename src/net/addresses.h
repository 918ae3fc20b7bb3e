#pragma once

#include <QHostAddress>
#include <QList>

// True when replies to `remote` may come from any address: a broadcast (255.255.255.255 or the
// broadcast address of a local interface) or a multicast group.
[[nodiscard]] bool isGroupAddress(const QHostAddress& remote);

// Of the addresses a name has, the one to talk to: IPv4 first, as the devices speak it.
[[nodiscard]] QHostAddress preferredAddress(const QList<QHostAddress>& found);

// True when a datagram from `from` comes from the device at `remote`: the same address, IPv4
// also in its IPv6-mapped form; any port, as a gateway may answer from another one.
[[nodiscard]] inline bool isFromDevice(const QHostAddress& from, const QHostAddress& remote) {
    return from.isEqual(remote, QHostAddress::TolerantConversion);
}
