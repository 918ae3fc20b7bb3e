#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// Process exit codes. When devices fail in different ways the smallest non-zero code wins.
namespace ExitCode {
constexpr int Ok = 0;
constexpr int DeviceError = 1;
constexpr int BadArguments = 2;
constexpr int BadFile = 3;
constexpr int Timeout = 4;
constexpr int NetworkError = 5;
constexpr int LogError = 6;
} // namespace ExitCode

// One device as named on the command line; the address is looked up later.
struct HostEntry {
    QString host;                // name or address, without brackets
    std::optional<quint16> port; // from "HOST:PORT"; nothing: --port

    friend bool operator==(const HostEntry&, const HostEntry&) = default;
};

struct FlashOptions {
    QString file;
    QList<HostEntry> hosts;
    quint16 remotePort = 111;
    std::optional<quint16> localPort; // nothing: drawn from 5500..6499 for each device
    bool gateway = true;
    QString gatewayAddress = QStringLiteral("16");
    int timeoutMs = 3000;
    int retries = 3;
    bool check = true;
    QString logFile;
    bool quiet = false;
};

struct FlashHelp {};
struct FlashUsageError {
    QString message;
};

// The command line without the program name.
[[nodiscard]] std::variant<FlashOptions, FlashHelp, FlashUsageError>
parseFlashArguments(const QStringList& args);

// "HOST", "HOST:PORT", "[IPv6]" or "[IPv6]:PORT"; a bare IPv6 address has no port.
[[nodiscard]] std::variant<HostEntry, FlashUsageError> parseHostEntry(const QString& text);

// Seconds as typed ("3", "0.25", ".5") to whole milliseconds, within 1 ms .. 1 hour.
[[nodiscard]] std::optional<int> parseTimeoutMs(const QString& text);

[[nodiscard]] QString flashUsageText();
