#pragma once

#include <QPushButton>

// A push button whose caption wraps onto several lines when the button is too narrow for it,
// as classic dialog buttons do ("Install VELTA" stands on two lines in its tall, narrow button).
class WrappingButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};
