#pragma once

#include "core/conversation/vocabulary.h"
#include "core/io/result.h"

#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QStringList>

#include <variant>

// What velta-devsim is told on its command line.
struct SimOptions {
    enum class Verbosity { Quiet, Normal, Verbose };

    QHostAddress bindAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 port = Protocol::DevicePort;
    QList<int> deviceAddresses{
        Protocol::GatewayAddress}; // behind one gateway; the first also takes direct lines
    int dropEvery = 0;             // 0: answer everything
    QMap<int, int> errorAtLine;    // device address (-1: every one) -> record line
    bool directOnly = false;       // no device behind a gateway: no gateway form is answered
    QByteArray bootText;           // the boot-information reply; empty: the usual one
    int delayMs = 0;
    // A bad line, in percent of datagrams: requests lost before the device, replies lost after
    // it (the device took the request), replies sent twice; each reply late by up to jitterMs
    // more. One seed draws them all, so a run can be repeated.
    double lossRequests = 0, lossReplies = 0, duplicates = 0;
    int jitterMs = 0;
    // How long after its reply a duplicate leaves: drawn from this range, in microseconds.
    int duplicateLagMinUs = 0, duplicateLagMaxUs = 0;
    // The device's own time: each record read, and a flash row written after every rowEvery-th
    // record a download pass stores (varying by a fifth either way, drawn from the seed).
    int recordUs = 0, rowMs = 0, rowEvery = 1;
    quint32 seed = 1;
    QString imageOut;
    Verbosity verbosity = Verbosity::Normal;
};

struct HelpRequest {};
struct VersionRequest {};
using SimCommand = std::variant<SimOptions, HelpRequest, VersionRequest>;

// The command line without the program name; a problem is a Usage failure.
[[nodiscard]] Result<SimCommand> parseSimArguments(const QStringList& arguments);

[[nodiscard]] QString simUsageText();
