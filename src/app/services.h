#pragma once

#include "net/host_lookup.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

enum class MessageIcon { None, Critical };

// The modal and system-touching pieces the window needs from the platform. Production uses
// PlatformServices::real(); tests hand in recording fakes.
struct PlatformServices {
    // Modal file-open dialog. `filter` is in the "description|pattern" form.
    // Returns the chosen path, or nothing when the operator cancelled.
    std::function<std::optional<QString>(QWidget* parent, const QString& filter)> openFile;
    // Modal message box with an OK button. An empty title means the application's name.
    std::function<void(QWidget* parent, const QString& text, const QString& title, MessageIcon icon)>
        messageBox;
    // Starts a program without waiting for it; its outcome is of no interest.
    std::function<void(const QString& program, const QStringList& arguments)> launchDetached;
    // Blocks the calling thread.
    std::function<void(int milliseconds)> sleep;
    // Looks up a device's name in the background.
    HostLookup lookUpHost;

    static PlatformServices real();
};

// "HEX files (*.hex)|*.hex" -> "HEX files (*.hex)"; pairs of description|pattern become Qt's ";;" list.
[[nodiscard]] QString qtFileDialogFilter(const QString& barFilter);

// The command that empties the host's address-resolution cache.
struct ProgramLine {
    QString program;
    QStringList arguments;
};
[[nodiscard]] ProgramLine arpFlushCommand();
