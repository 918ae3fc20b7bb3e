#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Datagram bytes as logs and messages show them: CR, LF and backslash escaped, anything outside
// printable ASCII as \xNN. Only the first `shown` bytes are written; a longer datagram is
// followed by " ... (N bytes)", so a flood of big datagrams cannot fill a disk.
void appendPrintable(QByteArray& out, QByteArrayView bytes, qsizetype shown);
// How much of each datagram logs and transcripts show.
constexpr qsizetype LoggedBytes = 256;
[[nodiscard]] QString printable(QByteArrayView bytes, qsizetype shown);

// Text to Latin-1 bytes, one per character, "?" for any character outside Latin-1, into a
// buffer that keeps its capacity from one datagram to the next.
void latin1Into(QStringView text, QByteArray& out);

// Device text as a terminal may show it: control characters (C0, DEL and C1) and the backslash
// escaped as JSON escapes them (\n, \r, \t, \u001b...), so a NUL, a carriage return or an escape
// sequence from a device can neither cut a table nor steer the terminal.
[[nodiscard]] QString escapedText(QStringView text);

// Device text cut to its first `kept` characters, followed by " ... (N characters)" when it was
// longer: a device may answer with a whole datagram of text, and a table or a record must not
// grow with it.
[[nodiscard]] QString cutText(QStringView text, qsizetype kept);
