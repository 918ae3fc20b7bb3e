#pragma once

class QApplication;

// What every start of the window program sets on the application before the window exists:
// its names, its icon and the one style its pixel-placed layout is drawn for.
void setUpApplication(QApplication& app);
