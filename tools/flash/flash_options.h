#pragma once

#include "core/conversation/vocabulary.h"
#include "core/io/result.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// Process exit codes. When devices fail in different ways the smallest non-zero code wins;
// an interrupted run ends with 130 (SIGINT) or 143 (SIGTERM) whatever else happened.
namespace ExitCode {
constexpr int Ok = 0;
constexpr int DeviceError = 1;
constexpr int BadArguments = 2;
constexpr int BadFile = 3;
constexpr int Timeout = 4;
constexpr int NetworkError = 5;
constexpr int LogError = 6;      // the log or the report could not be written
constexpr int Interrupted = 128; // plus the signal's number
} // namespace ExitCode

// An inventory's wait for each address, and its resends.
constexpr int ScanTimeoutMs = 300;
constexpr int ScanRetries = 1;

// One device as named: HOST[:PORT][/ADDR], the address looked up later.
struct HostEntry {
    QString host;                      // name or address, without brackets
    std::optional<quint16> port;       // from ":PORT"; nothing: --port
    std::optional<int> gatewayAddress; // from "/ADDR"; nothing: --gateway or --direct
    std::optional<int> lastAddress;    // from "/ADDR-LAST", a range for --scan
    QString written;                   // the target as written
    QString origin;                    // "FILE line N" for a --hosts file's entry

    // The same target, however and wherever written.
    friend bool operator==(const HostEntry& a, const HostEntry& b) {
        return a.host == b.host && a.port == b.port && a.gatewayAddress == b.gatewayAddress &&
               a.lastAddress == b.lastAddress;
    }
};

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
    Progress progress = Progress::Auto;
    bool quiet = false;
};

struct FlashHelp {};
struct FlashVersion {};
using FlashCommand = std::variant<FlashOptions, FlashHelp, FlashVersion>;

// The command line without the program name; a problem is a Usage failure. Reads the --hosts files.
[[nodiscard]] Result<FlashCommand> parseFlashArguments(const QStringList& args);

// "HOST", "HOST:PORT", "[IPv6]" or "[IPv6]:PORT", each optionally followed by "/ADDR"; a bare
// IPv6 address has neither.
[[nodiscard]] Result<HostEntry> parseHostEntry(const QString& text);

// The targets of a --hosts file: one a line, "#" to the end of a line a comment, blank lines
// allowed. `name` starts every error message.
[[nodiscard]] Result<QList<HostEntry>> parseHostsFile(const QByteArray& content, const QString& name);

// No output (--log, --report) may be another output or an input (the file, a --hosts file), by
// the file itself, through links; and an output must be a regular file or nothing yet.
[[nodiscard]] Result<void> checkFilesApart(const FlashOptions& options);

// Seconds as typed ("3", "0.25", ".5") to whole milliseconds, within 1 ms .. 1 hour.
[[nodiscard]] std::optional<int> parseTimeoutMs(const QString& text);

[[nodiscard]] QString flashUsageText();
