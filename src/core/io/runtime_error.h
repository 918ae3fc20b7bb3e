#pragma once

#include "core/io/result.h"

#include <QString>

// A failure as operators know it from classic runtimes, as the window's error box shows it: a
// number and a short description, "Error#53" and "File not found".
struct RuntimeError {
    int number = 0;
    QString description;

    [[nodiscard]] QString title() const { return QStringLiteral("Error#") + QString::number(number); }
    [[nodiscard]] static RuntimeError of(const Failure& failure);
};
