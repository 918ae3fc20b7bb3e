#pragma once

#include <QFileDevice>
#include <QString>

// A failure as operators know it from classic runtimes: a number and a short description.
struct RuntimeError {
    int number = 0;
    QString description;

    [[nodiscard]] QString title() const { return QStringLiteral("Error#") + QString::number(number); }

    static RuntimeError outOfMemory() { return {7, QStringLiteral("Out of memory")}; }
    static RuntimeError subscriptOutOfRange() { return {9, QStringLiteral("Subscript out of range")}; }
    static RuntimeError fileNotFound() { return {53, QStringLiteral("File not found")}; }
    static RuntimeError deviceIoError() { return {57, QStringLiteral("Device I/O error")}; }
    static RuntimeError diskFull() { return {61, QStringLiteral("Disk full")}; }
    static RuntimeError permissionDenied() { return {70, QStringLiteral("Permission denied")}; }
    static RuntimeError pathFileAccessError() { return {75, QStringLiteral("Path/File access error")}; }
    static RuntimeError pathNotFound() { return {76, QStringLiteral("Path not found")}; }
};

// Classifies why opening `path` failed. `sysError` is the errno captured right after the failure.
[[nodiscard]] RuntimeError runtimeErrorForOpen(const QString& path, int sysError);
// Classifies a failed write or commit (disk full, I/O error...).
[[nodiscard]] RuntimeError runtimeErrorForWrite(int sysError);
