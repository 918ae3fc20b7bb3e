#pragma once

#include "core/io/command_line.h"
#include "core/io/result.h"
#include "line/line_run.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// An inventory's wait for each address, and its resends.
constexpr int ScanTimeoutMs = 300;
constexpr int ScanRetries = 1;

// A line's run as a command line gives it: the settings, and the --hosts files they came from.
struct LineOptions : LineSettings {
    QStringList hostsFiles; // the --hosts files read, in order
};

// What a program makes of the arguments that are not options.
enum class LineArguments {
    FileAndTargets, // FILE.hex and at least one TARGET (with --scan, targets only): velta-flash
    FileOptional,   // FILE.hex first when any is given, targets left for later: velta-line
    TargetsOnly,    // every one a target, the file given apart: the line window's form
};

// The options of a line's run, as velta-flash and velta-line both read them (help and version
// first); each program appends its own.
[[nodiscard]] QList<QCommandLineOption> lineOptionTable();

// Reads the line's options of a parsed command line into `o`: the file and the targets (the
// --hosts files are read here), the numbers, the modes and the outputs. A problem stays in `line`.
void readLineOptions(CommandLine& line, LineOptions& o, LineArguments arguments);

// No output (--log, --report, --failed-hosts) may be another output or an input (the file, a
// --hosts file), by the file itself, through links; and an output must be a regular file or
// nothing yet.
[[nodiscard]] Result<void> checkFilesApart(const LineOptions& options);

// Seconds as typed ("3", "0.25", ".5") to whole milliseconds, within 1 ms .. 1 hour.
[[nodiscard]] std::optional<int> parseTimeoutMs(const QString& text);
