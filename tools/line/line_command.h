#pragma once

#include "core/io/result.h"
#include "station_form.h"

#include <QString>
#include <QStringList>

#include <variant>

// How velta-line was started: velta-flash's options and arguments fill the form.
struct LineStart {
    StationForm form;
    bool given = false; // the command line filled the form; else the station's saved settings do
    bool run = false;   // --run: start the line at once
    bool scan = false;  // --scan: open the line by an inventory of the targets
};
struct LineHelp {};
struct LineVersion {};
using LineCommand = std::variant<LineStart, LineHelp, LineVersion>;

// The command line without the program name: velta-flash's options of a line (FILE.hex and the
// targets may be left for the form), --run, and the windowing system's -platform and -display. A
// problem is a Usage failure in velta-flash's words. Reads the --hosts files.
[[nodiscard]] Result<LineCommand> parseLineArguments(const QStringList& args);

[[nodiscard]] QString lineUsageText();
