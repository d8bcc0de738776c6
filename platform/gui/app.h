// What both programs need from Qt, kept in one place: the application
// set-up (one pixel of a program is one device pixel), modal message boxes
// with an OK button only, and screenshots rendered through the program's own
// widgets (on the offscreen platform as well as on a real display).
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <memory>
#include <string>
#include <string_view>

class QWidget;

namespace orvex {

// Creates the application with Qt's high-DPI scaling out of the way, so a
// widget's pixels are the screen's device pixels. Call before any other Qt
// call of the process. name becomes the application name and, on X11, the
// WM_CLASS of its windows. Null, after one line on standard error naming the
// display tried and what to set, when no display can be reached: the
// program then ends with status 1.
std::unique_ptr<QApplication> CreateGuiApplication(int& argc, char** argv, const char* name);

QString ToQString(std::u16string_view text);

// A message box as the programs show them: caption, text, an OK button only.
// Made apart from being shown so a screenshot can be taken of one.
std::unique_ptr<QMessageBox> MakeMessageBox(std::u16string_view caption, std::u16string_view text,
                                            QWidget* owner = nullptr);

// Shows the box modally and returns once the user has closed it.
void ShowMessageBox(std::u16string_view caption, std::u16string_view text,
                    QWidget* owner = nullptr);

// Renders the widget, as it would appear, into a PNG file. False on failure.
bool SaveScreenshot(QWidget& widget, const std::string& path);

}  // namespace orvex
