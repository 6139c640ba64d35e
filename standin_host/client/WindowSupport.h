// Small pieces the explorer's windows share.
#pragma once

#include <filesystem>
#include <string>

#include <QLabel>
#include <QMessageBox>

namespace nubra::client {

// The window title of the client's own boxes.
inline constexpr const char* kClientTitle = "Nubrasweep client";

// A modal box whose text is shown as plain text: an error description or a folder name that
// looks like markup must never be rendered as rich text.
void ShowPlainBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const std::string& text);

// A label that wraps its text and never takes it for markup (folder names, error texts).
QLabel* PlainLabel(const QString& text, QWidget* parent);

// The running program (the command line's `gui` runs the explorer, so this is nubrasweep).
std::filesystem::path ThisProgram();

}  // namespace nubra::client
