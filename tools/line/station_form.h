#pragma once

#include "core/io/result.h"
#include "line/line_options.h"

#include <QString>
#include <QStringList>

class QSettings;

// What a station sets for its line, as the window's form shows it and the station keeps it: the
// line, the firmware, what to do, the outputs, and the flasher's other options as typed. Every
// run is made from it through the flasher's own option reader, so the window runs a line exactly
// as velta-flash run with arguments() would.
struct StationForm {
    enum class Operation { Flash, Verify, CheckThenFlash };

    // The line.
    QStringList hostsFiles;
    QString targets; // more targets (an inventory's ranges too), separated by blanks
    bool direct = false;
    // The firmware: the file is picked for each session; the dialog opens in its folder.
    QString file;
    QString firmwareFolder;
    // What to do.
    Operation operation = Operation::Flash;
    bool start = false;
    QString expectVersion;
    // Serial numbers from a pool: the source ("" none, "counter", "list", "sqtp") and its fields,
    // as velta-flash's --serial-* options take them.
    QString serialSource, serialPool, serialAt, serialSize, serialFormat = QStringLiteral("be"), serialStart,
                                                            serialStep, serialFile;
    // The outputs, where the station keeps them; the history (a file or a postgresql:// URL)
    // and the station's name in the records (empty: the host's).
    QString reportFile, logFile, failedHostsFile, history, station;
    // The flasher's other options ("--timeout 0.5 --jobs 4"), without blanks in their values.
    QString options;

    // The flasher's arguments for a flash of the line (the file left out: it is given apart),
    // or, with `inventory`, for its --scan over the targets.
    [[nodiscard]] QStringList arguments(bool inventory = false) const;
    // The --serial-* options of the serial group; none without a source.
    [[nodiscard]] QStringList serialArguments() const;
    // The run those arguments make, checked as velta-flash checks them; the failure in its words.
    [[nodiscard]] Result<LineOptions> lineOptions(bool inventory = false) const;

    void save(QSettings& settings) const;
    [[nodiscard]] static StationForm load(QSettings& settings);

    friend bool operator==(const StationForm&, const StationForm&) = default;
};

// The key of an operation in the station's settings and records: flash, verify, check-then-flash.
[[nodiscard]] QString operationKey(StationForm::Operation operation);
