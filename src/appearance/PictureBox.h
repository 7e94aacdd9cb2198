#pragma once

#include <QLabel>

// A box that holds a picture and fills the rest with its back colour.
class PictureBox : public QLabel {
    Q_OBJECT

public:
    PictureBox(const QString& name, QWidget* parent);
};
