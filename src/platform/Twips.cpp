#include "platform/Twips.h"

#include <cmath>

int tw(int twips) {
    return static_cast<int>(std::lround(twips / static_cast<double>(kTwipsPerPixel)));
}

int toTwips(int pixels) {
    return pixels * kTwipsPerPixel;
}

QRect twRect(int left, int top, int width, int height) {
    return QRect(tw(left), tw(top), tw(width), tw(height));
}
