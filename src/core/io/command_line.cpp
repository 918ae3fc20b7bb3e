#include "core/io/command_line.h"

#include "core/io/decimal.h"

#include <QRegularExpression>

#include <numeric>

namespace {
// Letters to change, add or drop to turn one word into the other.
int editDistance(const QString& a, const QString& b) {
    QList<int> row(b.size() + 1);
    std::iota(row.begin(), row.end(), 0);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= b.size(); ++j)
            diagonal = std::exchange(
                row[j], std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])}));
    }
    return row[b.size()];
}
} // namespace

CommandLine::CommandLine(const QList<QCommandLineOption>& options) {
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addOptions(options);
    for (const QCommandLineOption& o : options)
        m_names += o.names();
}

Result<void> CommandLine::parse(const QStringList& arguments) {
    // QCommandLineParser skips the first entry as the program name.
    if (m_parser.parse(QStringList{QString()} + arguments))
        return success();
    QString text = m_parser.errorText();
    if (const QStringList unknown = m_parser.unknownOptionNames(); unknown.size() == 1) {
        // A slip of the keyboard: the nearest option, when it is near enough to be meant.
        QString nearest;
        int best = std::max(2, int(unknown.first().size()) / 3) + 1;
        for (const QString& name : std::as_const(m_names)) {
            if (const int d = editDistance(unknown.first(), name); name.size() > 1 && d < best)
                best = d, nearest = name;
        }
        if (!nearest.isEmpty()) {
            text.remove(QRegularExpression(QStringLiteral("\\.$")));
            text += QStringLiteral("; did you mean --%1?").arg(nearest);
        }
    }
    return Failure{Failure::Cause::Usage, text};
}

std::optional<int> CommandLine::numberOf(const QString& name, int min, int max, const QString& what) {
    if (failed() || !isSet(name))
        return std::nullopt;
    const auto number = strictDecimal(value(name), min, max);
    if (!number)
        fail(QStringLiteral("--%1 needs %2, not '%3'").arg(name, what.arg(min).arg(max), value(name)));
    return number;
}

void CommandLine::fail(const QString& message) {
    if (!m_problem)
        m_problem = message;
}

Result<void> CommandLine::result() const {
    if (m_problem)
        return Failure{Failure::Cause::Usage, *m_problem};
    return success();
}
