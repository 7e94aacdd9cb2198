#pragma once

#include <QRect>

// Windows are designed in twips (1/1440 inch). At the reference 96 dots per
// inch that is 15 twips to a device-independent pixel; Qt scales from there.
inline constexpr int kTwipsPerPixel = 15;

int tw(int twips);
int toTwips(int pixels);
QRect twRect(int left, int top, int width, int height);
