#pragma once

#include <QIcon>
#include <QPixmap>

// The window's pictures, drawn as vector art so they stay sharp at any scale factor.
namespace Icons {
// Spanner and screwdriver, designed on a 24 x 24 grid.
[[nodiscard]] QPixmap tools(int size, qreal devicePixelRatio = 1.0);
[[nodiscard]] QIcon applicationIcon();
// The line window's: three devices on a belt, each with its result light (two green, one red),
// on a 24 x 24 grid.
[[nodiscard]] QPixmap station(int size, qreal devicePixelRatio = 1.0);
[[nodiscard]] QIcon stationIcon();
// Desktop computer on a 32 x 32 grid in the 16-colour palette: blue screen with a cyan dot and
// a cyan light while the link is alive; black screen and a grey light when it is lost.
[[nodiscard]] QPixmap linkAlive(qreal devicePixelRatio = 1.0);
[[nodiscard]] QPixmap linkLost(qreal devicePixelRatio = 1.0);
} // namespace Icons
