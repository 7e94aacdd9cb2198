#include "appearance/PictureBox.h"

PictureBox::PictureBox(const QString& name, QWidget* parent) : QLabel(parent) {
    setObjectName(name);
    setAutoFillBackground(true);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}
