#pragma once

#include <QRect>

class QWidget;

// Windows are designed in twips (1/1440 inch). At the reference 96 dots per
// inch that is 15 twips to a device-independent pixel; Qt scales from there.
inline constexpr int kTwipsPerPixel = 15;

int tw(int twips);
int toTwips(int pixels);
QRect twRect(int left, int top, int width, int height);

// Places a window in the middle of its screen's free area, as every window
// of the program is placed when first shown.
void centreOnScreen(QWidget* window);
