#pragma once

class QWidget;

// Makes a window stay above ordinary windows (onTop == -1, True) or an
// ordinary window again (any other value). Position and size are kept.
void SetOnTop(QWidget* window, const short& onTop);
