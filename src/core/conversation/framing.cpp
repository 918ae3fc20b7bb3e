#include "core/conversation/framing.h"

#include "core/conversation/vocabulary.h"

namespace {
// A gateway address as the tool types it: decimal, blanks around it allowed.
std::optional<int> gatewayAddress(QByteArrayView text) {
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 3)
        return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}
} // namespace

std::optional<QString> frameLine(const QString& line, bool gateway, const QString& address,
                                 GatewayForm form) {
    if (!gateway)
        return line;
    if (line.size() < 2)
        return std::nullopt;
    const QStringView body = QStringView(line).left(line.size() - 2);
    QString out;
    out.reserve(line.size() + address.size() + 8);
    if (form == GatewayForm::Bootloader) {
        out += QLatin1String(Protocol::BootloaderForm);
        out += address;
        out += QLatin1Char(',');
        out += body;
    } else {
        out += QLatin1String(Protocol::ConsoleForm);
        out += address;
        out += QLatin1String(",\"");
        out += body;
        out += QLatin1Char('"');
    }
    out += QLatin1String(Protocol::LineEnd);
    return out;
}

QString recordCommand(QByteArrayView entry, bool verify) {
    QString command = QLatin1String(Protocol::Command::Record) + QString::fromLatin1(entry) +
                      QLatin1String(Protocol::LineEnd);
    if (verify)
        command.replace(QLatin1Char(Protocol::DownloadMark), QLatin1Char(Protocol::VerifyMark));
    return command;
}

std::optional<QByteArray> commandFor(QByteArrayView datagram, int address, bool* wrapped) {
    const bool bootForm = datagram.startsWith(Protocol::BootloaderForm);
    const bool consoleForm = datagram.startsWith(Protocol::ConsoleForm);
    if (wrapped)
        *wrapped = bootForm || consoleForm;
    if (!bootForm && !consoleForm)
        return datagram.toByteArray();

    const QByteArrayView rest = datagram.sliced(QByteArrayView(Protocol::BootloaderForm).size());
    const qsizetype comma = rest.indexOf(',');
    if (comma < 0)
        return std::nullopt;
    const auto to = gatewayAddress(rest.first(comma));
    if (!to || *to != address)
        return std::nullopt;
    const QByteArrayView body = rest.sliced(comma + 1);
    if (bootForm)
        return body.toByteArray();

    // The console form quotes the body without escaping quotes inside it.
    const qsizetype open = body.indexOf('"');
    const qsizetype close = body.lastIndexOf('"');
    if (open < 0 || close <= open)
        return std::nullopt;
    return body.sliced(open + 1, close - open - 1).toByteArray();
}
