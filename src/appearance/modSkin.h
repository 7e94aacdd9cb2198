#pragma once

#include <QString>

class Program;
class QObject;
class QWidget;

// Skinning every window: started on the splash, applied by each window's
// load, closed at the end. Every step runs only while the program's skin
// switch is on, and no failure here ever stops a window from working.

// Makes the splash's skin the skin of every window, skins the splash, and
// attaches and starts the companion.
void StartSkin(Program& program, QWidget* splash);

// Colours the window's controls from the skin and draws the window with it.
void SkinForm(Program& program, QWidget* window);

// Gives each control of the window, in creation order, the skin's colours
// that its kind takes: buttons the back colour; text, list and combo boxes
// the back and fore colours; picture boxes the panel colour. Other kinds keep
// their own. Colours are 32-bit colour numbers (red in the low byte).
void ColorControls(QWidget* window, const quint32& back, const quint32& fore, const quint32& panel,
                   const quint32& panelText);

// Sets a rectangular region as large as the window's size in twips taken as
// pixels: larger than the window, so it clips nothing.
void ResetFormRegion(QWidget* window);

// True on Windows Vista and later (the NT family, major version 6 or more).
bool IsVista(const Program& program);

// On Vista and later the companion is stopped as the main window loads.
void VistaSkinFix(Program& program);

// Stops the companion at the end of the run.
void StopSkin(Program& program);

// The kind of a control, by the names the skin knows: "CommandButton",
// "TextBox", "ListView", "PictureBox", "Label", ...
QString controlTypeName(const QObject* control);
