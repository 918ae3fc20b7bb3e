#pragma once

#include "core/conversation/vocabulary.h"
#include "core/io/result.h"
#include "line/exit_code.h"
#include "line/host_entry.h"
#include "line/line_options.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// The command line: a line's run, and how this program shows it.
struct FlashOptions : LineOptions {
    enum class Progress { Auto, Always, Never };

    bool listSilent = false; // --scan: list the addresses that stayed silent
    Progress progress = Progress::Auto;
    bool quiet = false;
};

struct FlashHelp {};
struct FlashVersion {};
// --serials: the pool listed, as a table or (--report -) as records.
struct FlashSerials {
    QString pool;
    bool records = false;
};
// --find: what the history holds for a serial, a device or a firmware, as a table or records.
struct FlashFind {
    QString history;
    QString what;
    bool records = false;
};
using FlashCommand = std::variant<FlashOptions, FlashHelp, FlashVersion, FlashSerials, FlashFind>;

// The command line without the program name; a problem is a Usage failure. Reads the --hosts files.
[[nodiscard]] Result<FlashCommand> parseFlashArguments(const QStringList& args);

[[nodiscard]] QString flashUsageText();
