#pragma once

#include "core/conversation/vocabulary.h"
#include "core/io/result.h"
#include "line/exit_code.h"
#include "line/host_entry.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// An inventory's wait for each address, and its resends.
constexpr int ScanTimeoutMs = 300;
constexpr int ScanRetries = 1;

struct FlashOptions {
    enum class Progress { Auto, Always, Never };

    QString file;
    QList<HostEntry> hosts;
    QStringList hostsFiles; // the --hosts files read, in order
    quint16 remotePort = Protocol::DevicePort;
    std::optional<quint16> localPort; // nothing: drawn from 5500..6499 for each session
    bool gateway = true;
    int gatewayAddress = Protocol::GatewayAddress;
    int timeoutMs = Protocol::Defaults::TimeoutMs;
    int firstTimeoutMs = Protocol::Defaults::FirstTimeoutMs; // the first record; never below timeoutMs
    int retries = Protocol::Defaults::Retries;
    int jobs = 0; // gateways and direct devices at once; 0: all
    bool check = true;
    bool verifyOnly = false;
    bool skipVerified = false;
    bool start = false;
    QString expectVersion;
    QString logFile;
    QString reportFile;      // "-": standard output, instead of the table
    QString failedHostsFile; // the targets that did not end "ok" or "skipped", as a hosts file
    bool scan = false;       // only ask each target for its boot information
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
