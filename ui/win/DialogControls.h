// How to find the Win32 duplicate-removal dialog and its controls from outside: the window
// class and caption (FindWindowW), and the control IDs (GetDlgItem on the dialog's window: every
// control is a direct child of it, whichever page shows it). A client drives the dialog by
// window messages alone:
//   TCM_SETCURSEL on kIdTabs, then the page shows as if its tab had been clicked;
//   TVM_SELECTITEM (TVGN_CARET) on kIdTree counts as a click on that folder;
//   BM_CLICK on kIdRun / kIdClose presses the button from any thread, as long as the button is
//     enabled; SendMessage returns when the button's work is done (a removal run and its message
//     boxes included), PostMessage returns at once;
//   WM_GETTEXT on kIdStatus reads the status line (also while it is hidden);
//   IsWindowEnabled on kIdRun / kIdClose: both are off while a run is under way.
// Each node's lParam in the tree is its 1-based index in the order the folders were added.
#pragma once

namespace nubra::ui::win {

inline constexpr const wchar_t* kWindowClass = L"NubraRemDuplicates";
inline constexpr const wchar_t* kWindowCaption = L"Nubrasweep";

enum ControlId : int {
    kIdTabs = 1001,      // WC_TABCONTROL, pages 0..2
    kIdTree = 1002,      // WC_TREEVIEW, the folders (TreeView1)
    kIdRun = 1003,       // button "Remove &duplicate items" (cmdRemDups)
    kIdClose = 1004,     // button "Close" (cmdClose)
    kIdStatus = 1005,    // static, the status line (lblBusy)
    kIdProgress = 1006,  // PROGRESS_CLASS, range 0..10000 (ProgBar)
    kIdVersion = 1007,   // static, the version on the About page (lblVersionInfo)
    // Link labels (SS_NOTIFY statics).
    kIdShowHelp = 1010,
    kIdAmbrelLite = 1011,
    kIdQuorel = 1012,
    kIdQuorel2 = 1013,
    // Further labels, lines and pictures get IDs from here on.
    kIdFirstStatic = 1100,
};

}  // namespace nubra::ui::win
