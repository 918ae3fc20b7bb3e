#pragma once

#include "core/io/result.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// One device as named: HOST[:PORT][/ADDR], the address looked up later.
struct HostEntry {
    QString host;                      // name or address, without brackets
    std::optional<quint16> port;       // from ":PORT"; nothing: --port
    std::optional<int> gatewayAddress; // from "/ADDR"; nothing: --gateway or --direct
    std::optional<int> lastAddress;    // from "/ADDR-LAST", a range for --scan
    QString written;                   // the target as written
    QString origin;                    // "FILE line N" for a --hosts file's entry

    // The same target, however and wherever written.
    friend bool operator==(const HostEntry& a, const HostEntry& b) {
        return a.host == b.host && a.port == b.port && a.gatewayAddress == b.gatewayAddress &&
               a.lastAddress == b.lastAddress;
    }
};

// "HOST", "HOST:PORT", "[IPv6]" or "[IPv6]:PORT", each optionally followed by "/ADDR"; a bare
// IPv6 address has neither.
[[nodiscard]] Result<HostEntry> parseHostEntry(const QString& text);

// The targets of a --hosts file: one a line, "#" to the end of a line a comment, blank lines
// allowed. `name` starts every error message.
[[nodiscard]] Result<QList<HostEntry>> parseHostsFile(const QByteArray& content, const QString& name);
