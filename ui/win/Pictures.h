// The dialog's pictures on Win32: our own drawings (ui/resources), rendered to PNG at build time
// at the sizes the dialog shows them and compiled in; decoded through WIC when needed.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>

namespace nubra::ui::win {

struct EmbeddedPicture {
    const char* name;  // the PNG's file name without extension, e.g. "tree_mail"
    const unsigned char* data;
    std::size_t size;
};

// The compiled-in picture of that name; null when there is none.
const EmbeddedPicture* FindEmbeddedPicture(const char* name);

// Side of the tree's pictures in pixels.
inline constexpr int kTreePictureSize = 20;

// The picture `name` as a 32-bit bottom-up DIB section with premultiplied alpha, or, with
// `background` not CLR_NONE, laid over that colour (for controls that cannot blend). Null when
// it is missing or cannot be decoded (COM must be initialised on the calling thread). The
// caller owns the bitmap (DeleteObject).
HBITMAP LoadPicture(const char* name, COLORREF background = CLR_NONE);
// The window's icon at 16 or 32 pixels; null when it cannot be made. Owned by the caller
// (DestroyIcon).
HICON WindowIcon(int size);
// The tree's image list: a blank entry 0, then mail folder, store, contacts, calendar, task
// list, notes folder (the TreeImage indexes). Pictures that cannot be decoded stay blank.
// Owned by the caller (ImageList_Destroy).
HIMAGELIST TreeImageList();
// Pictures in the tree's image list after the blank entry.
inline constexpr int kTreePictureCount = 6;

}  // namespace nubra::ui::win
