#include "core/io/command_line.h"

#include "core/io/decimal.h"

CommandLine::CommandLine(const QList<QCommandLineOption>& options) {
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addOptions(options);
}

Result<void> CommandLine::parse(const QStringList& arguments) {
    // QCommandLineParser skips the first entry as the program name.
    if (!m_parser.parse(QStringList{QString()} + arguments))
        return Failure{Failure::Cause::Usage, m_parser.errorText()};
    return success();
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
