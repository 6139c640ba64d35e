// The dialog's pictures: our own drawings, compiled into the program's resources.
#pragma once

#include <vector>

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace nubra::ui {

// Side of the tree's pictures in pixels.
inline constexpr int kTreePictureSize = 32;

// The drawing `name` (a file of the resources, e.g. "bullet.svg") at `width` x `height` device
// independent pixels, sharp on the screen's pixel ratio.
QPixmap Picture(const QString& name, int width, int height);
// The window's icon in the sizes window managers ask for.
QIcon WindowIcon();
// The tree's image list, index 1 first: mail folder, store, contacts, calendar, task list,
// notes folder.
std::vector<QIcon> TreeImageList();

}  // namespace nubra::ui
