#pragma once

#include "core/io/result.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <optional>

// A program's options as both command-line programs read them: long options (also with one dash),
// strict numbers, and the first problem kept with the words the user needs.
class CommandLine {
public:
    // `options`: names, then the value's name for options that take one ("N", "FILE").
    explicit CommandLine(const QList<QCommandLineOption>& options);

    // Reads `arguments` (without the program name); a problem is a Usage failure.
    Result<void> parse(const QStringList& arguments);
    [[nodiscard]] bool isSet(const QString& name) const { return m_parser.isSet(name); }
    [[nodiscard]] QString value(const QString& name) const { return m_parser.value(name); }
    [[nodiscard]] QStringList values(const QString& name) const { return m_parser.values(name); }
    [[nodiscard]] QStringList positional() const { return m_parser.positionalArguments(); }

    // A set option's value as a whole number from `min` to `max` (digits only) into `target`.
    // `what` names what it needs, with %1 and %2 for the bounds.
    template <typename T> void number(const QString& name, int min, int max, const QString& what, T& target) {
        if (const auto value = numberOf(name, min, max, what))
            target = T(*value);
    }
    // Keeps `message` unless a problem came first.
    void fail(const QString& message);
    [[nodiscard]] bool failed() const { return m_problem.has_value(); }
    // The first problem, or nothing.
    [[nodiscard]] Result<void> result() const;

private:
    [[nodiscard]] std::optional<int> numberOf(const QString& name, int min, int max, const QString& what);

    QCommandLineParser m_parser;
    QStringList m_names;
    std::optional<QString> m_problem;
};
