#include "commands.h"

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
        out += QLatin1String("MDB ");
        out += address;
        out += QLatin1Char(',');
        out += body;
    } else {
        out += QLatin1String("MDC ");
        out += address;
        out += QLatin1String(",\"");
        out += body;
        out += QLatin1Char('"');
    }
    out += Commands::CrLf;
    return out;
}
