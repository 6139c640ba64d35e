// The duplicate-removal dialog on Win32: a modeless single-instance window with the Qt dialog's
// pages, controls and texts, built from common controls. What its events do is RemovalDialog's;
// DialogControls.h tells a client how to find and drive it by window messages.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/RemovalDialog.h"
#include "ui/win/Win32Controls.h"

namespace nubra::ui::win {

class frmRemDuplicates : private DialogFace {
public:
    // Loads the dialog when it is not loaded (window made, Form_Load, then shown), else brings
    // the loaded one to the front. `owner` (optional) keeps the window above the host's main
    // window. Runs on the thread whose messages the window will get. Raises 5 when the window
    // cannot be made (nothing is left behind then); null when loading showed a message box
    // during which the window was destroyed.
    static frmRemDuplicates* Show(HWND owner = nullptr);
    // The loaded dialog, or null.
    static frmRemDuplicates* Instance();
    // Destroys the loaded dialog now, even during a run (the add-in's clean-up: the module may
    // be unloaded next), and unregisters the window class. The run ends on the bar alone.
    static void DestroyLoaded();

    HWND Window() const { return hwnd_; }

    // Event handlers. Public so that hosts and tests can raise the events.
    void Form_Load();
    void cmdRemDups_Click();
    // Closes the window as its frame would (refused while a run is under way).
    void cmdClose_Click();
    void Form_Unload();
    void lblShowHelp_Click();
    void lblAmbrelLite_Click();
    void lblQuorel_Click();
    void lblQuorel2_Click();
    void TreeView1_NodeClick();

    bool Ready() const { return core_->Ready(); }
    bool Running() const { return core_->Running(); }
    Win32TreeNodes& Nodes() const { return *nodes_; }
    const FolderTree& Tree() const { return core_->Tree(); }
    Win32ProgressBar& ProgBar() const { return *progBar_; }

private:
    frmRemDuplicates() = default;
    ~frmRemDuplicates() override;
    frmRemDuplicates(const frmRemDuplicates&) = delete;
    frmRemDuplicates& operator=(const frmRemDuplicates&) = delete;

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    // The keys of the dialog's controls (Tab, Alt+letter, Enter) taken out of the client's
    // message loop, which knows nothing of this window, and handled as a dialog handles them.
    static LRESULT CALLBACK KeyboardHook(int code, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ControlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                        DWORD_PTR data);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(int id, int code);
    LRESULT OnNotify(const NMHDR& header);
    LRESULT OnColorStatic(HDC dc, HWND control);

    void BuildControls();
    void BuildRemovePage(const RECT& page);
    void BuildExplainPage(const RECT& page);
    void BuildAboutPage(const RECT& page);
    // A control on `page` (-1: below the pages) with the given font and text colour.
    HWND Add(int page, const wchar_t* cls, const std::string& text, DWORD style, int id, int x, int y, int w, int h,
             HFONT font, COLORREF color = CLR_INVALID);
    HWND AddLabel(int page, const std::string& text, int x, int y, int w, HFONT font, COLORREF color = CLR_INVALID,
                  bool wrap = false, int id = 0);
    HWND AddLink(int page, int id, const std::string& text, int x, int y, HFONT font);
    HWND AddPicture(int page, const char* name, int x, int y, int w, int h);
    // Height of `text` in `font` wrapped at `width` (one line when width is 0), and its width.
    SIZE Measure(HFONT font, const std::string& text, int width) const;
    void ShowPage(int page);
    void Close();

    // DialogFace
    void EnableRunButton(bool enabled) override;
    void EnableCloseButton(bool enabled) override;
    void SetCloseCaption(const std::string& text) override;
    void ShowFirstPage() override;
    void ShowStatus(bool visible) override;
    void SetStatusText(const std::string& text) override;
    void SetVersionText(const std::string& text) override;
    void ShowBusyPointer(bool busy) override;
    const TreeNode* SelectedNode() const override;

    struct Control {
        HWND hwnd;
        int page;
        COLORREF color;
    };

    HWND hwnd_ = nullptr;
    HWND tabs_ = nullptr, tree_ = nullptr, run_ = nullptr, close_ = nullptr, status_ = nullptr,
         progress_ = nullptr, version_ = nullptr, tooltip_ = nullptr;
    std::vector<Control> controls_;
    std::vector<HBITMAP> bitmaps_;
    HFONT fontNormal_ = nullptr, fontBold_ = nullptr, fontDetail_ = nullptr, fontLink_ = nullptr,
          fontLinkBig_ = nullptr, fontProduct_ = nullptr;
    HICON iconSmall_ = nullptr, iconBig_ = nullptr;
    HBRUSH background_ = nullptr;
    int page_ = 0;
    bool statusVisible_ = false;
    bool busyPointer_ = false;
    int nextStaticId_ = 0;

    std::unique_ptr<Win32TreeNodes> nodes_;
    // Shared with a running scan, which must never write into a destroyed bar.
    std::shared_ptr<Win32ProgressBar> progBar_;
    // Shared with a running scan, which outlives the window when it is destroyed meanwhile.
    std::shared_ptr<RemovalDialog> core_;

    static frmRemDuplicates* instance_;
    static HHOOK keyboardHook_;
};

}  // namespace nubra::ui::win
