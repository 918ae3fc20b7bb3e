#pragma once

#include "core/conversation/vocabulary.h"
#include "core/io/result.h"
#include "line/exit_code.h"
#include "line/host_entry.h"
#include "line/line_run.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// An inventory's wait for each address, and its resends.
constexpr int ScanTimeoutMs = 300;
constexpr int ScanRetries = 1;

// The command line: a line's run, and how this program shows it.
struct FlashOptions : LineSettings {
    enum class Progress { Auto, Always, Never };

    QStringList hostsFiles;  // the --hosts files read, in order
    bool listSilent = false; // --scan: list the addresses that stayed silent
    Progress progress = Progress::Auto;
    bool quiet = false;
};

struct FlashHelp {};
struct FlashVersion {};
using FlashCommand = std::variant<FlashOptions, FlashHelp, FlashVersion>;

// The command line without the program name; a problem is a Usage failure. Reads the --hosts files.
[[nodiscard]] Result<FlashCommand> parseFlashArguments(const QStringList& args);

// No output (--log, --report) may be another output or an input (the file, a --hosts file), by
// the file itself, through links; and an output must be a regular file or nothing yet.
[[nodiscard]] Result<void> checkFilesApart(const FlashOptions& options);

// Seconds as typed ("3", "0.25", ".5") to whole milliseconds, within 1 ms .. 1 hour.
[[nodiscard]] std::optional<int> parseTimeoutMs(const QString& text);

[[nodiscard]] QString flashUsageText();
