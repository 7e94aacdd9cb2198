#include "platform/Twips.h"

#include <QScreen>
#include <QWidget>

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

void centreOnScreen(QWidget* window) {
    if (QScreen* s = window->screen()) {
        QRect r = window->geometry();
        r.moveCenter(s->availableGeometry().center());
        window->move(r.topLeft());
    }
}
