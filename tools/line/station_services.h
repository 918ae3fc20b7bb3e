#pragma once

#include "net/host_lookup.h"

#include <QString>

#include <functional>
#include <optional>

class QWidget;

// What the file dialog is asked.
struct FileQuestion {
    QString title;
    QString filter; // "description|pattern" pairs, as the window's dialog layer takes them
    QString folder; // where it opens; empty: the current folder
    bool save = false;
};

// The modal and system-touching pieces the line window needs. Production uses real(); tests hand
// in fakes that answer from a script and record what was asked.
struct StationServices {
    // The chosen path, or nothing when the technician cancelled.
    std::function<std::optional<QString>(QWidget* parent, const FileQuestion& question)> chooseFile;
    // A question with two answers, `yes` (the default) and `no` (also Esc); true for `yes`.
    std::function<bool(QWidget* parent, const QString& title, const QString& question, const QString& yes,
                       const QString& no)>
        confirm;
    HostLookup lookUpHost;

    static StationServices real();
};
