// The dialog's pictures: our own drawings, compiled into the program's resources.
#pragma once

#include <vector>

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace nubra::ui {

// Side of the tree's pictures in pixels (the image list's size).
inline constexpr int kTreePictureSize = 32;
// Side at which the tree shows them: rows of a usual height keep more folders in view.
inline constexpr int kTreeIconSize = 20;

// The drawing `name` (a file of the resources, e.g. "bullet.svg") at `width` x `height` device
// independent pixels, sharp on the screen's pixel ratio.
QPixmap Picture(const QString& name, int width, int height);
// The window's icon in the sizes window managers ask for.
QIcon WindowIcon();
// The tree's image list, index 1 first: mail folder, store, contacts, calendar, task list,
// notes folder. Each icon holds the 32 x 32 picture and a rendering drawn for the tree's size.
std::vector<QIcon> TreeImageList();

}  // namespace nubra::ui
