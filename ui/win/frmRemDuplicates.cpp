#include "ui/win/frmRemDuplicates.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <utility>

#include "host/Automation.h"
#include "ui/DialogTexts.h"
#include "ui/win/DialogControls.h"
#include "ui/win/Pictures.h"

namespace nubra::ui::win {

frmRemDuplicates* frmRemDuplicates::instance_ = nullptr;
HHOOK frmRemDuplicates::keyboardHook_ = nullptr;

namespace {

// 8,580 x 6,915 twips at 96 dots per inch: the Qt dialog's size.
constexpr int kClientWidth = 572;
constexpr int kClientHeight = 461;
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr COLORREF kNavy = RGB(0, 0, 128);
constexpr COLORREF kBlue = RGB(0, 0, 255);
// The subclass of the controls whose messages the dialog takes over (buttons, tabs).
constexpr UINT_PTR kSubclassId = 1;

// The system's pointers, named for the W functions whatever UNICODE says.
const LPCWSTR kArrowPointer = MAKEINTRESOURCEW(32512);  // IDC_ARROW
const LPCWSTR kWaitPointer = MAKEINTRESOURCEW(32514);   // IDC_WAIT
const LPCWSTR kHandPointer = MAKEINTRESOURCEW(32649);   // IDC_HAND

HINSTANCE ModuleInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &module);
    return module;
}

// The dialog's face: the classic "MS Sans Serif" at `points`, as the Qt dialog asks for it.
HFONT DialogFont(double points, bool bold = false, bool underline = false) {
    const int height = -static_cast<int>(points * 96.0 / 72.0 + 0.5);
    return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, underline ? TRUE : FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
}

}  // namespace

frmRemDuplicates* frmRemDuplicates::Instance() { return instance_; }

frmRemDuplicates* frmRemDuplicates::Show(HWND owner) {
    if (instance_) {
        ShowWindow(instance_->hwnd_, IsIconic(instance_->hwnd_) ? SW_RESTORE : SW_SHOW);
        SetForegroundWindow(instance_->hwnd_);
        return instance_;
    }
    static const bool commonControls = [] {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_TAB_CLASSES | ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS |
                                                  ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
        return InitCommonControlsEx(&icc) != FALSE;
    }();
    (void)commonControls;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    if (!GetClassInfoExW(ModuleInstance(), kWindowClass, &wc)) {
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = &frmRemDuplicates::WindowProc;
        wc.hInstance = ModuleInstance();
        wc.hCursor = LoadCursorW(nullptr, kArrowPointer);
        wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        wc.lpszClassName = kWindowClass;
        if (!RegisterClassExW(&wc))
            RaiseError(errnum::kInvalidProcedureCall, "The dialog's window class cannot be registered", "Nubra");
    }
    RECT frame{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
    auto* dialog = new frmRemDuplicates;
    // WindowProc takes the object over at WM_NCCREATE and deletes it at WM_NCDESTROY.
    HWND hwnd = CreateWindowExW(0, kWindowClass, kWindowCaption, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                frame.right - frame.left, frame.bottom - frame.top, owner, nullptr, ModuleInstance(),
                                dialog);
    if (!hwnd) {
        if (dialog->hwnd_ == nullptr) delete dialog;
        RaiseError(errnum::kInvalidProcedureCall, "The dialog's window cannot be created", "Nubra");
    }
    instance_ = dialog;
    if (!keyboardHook_)
        keyboardHook_ = SetWindowsHookExW(WH_GETMESSAGE, &frmRemDuplicates::KeyboardHook, nullptr, GetCurrentThreadId());
    dialog->Form_Load();
    // Loading may have shown message boxes; the dialog opens all the same unless it was
    // destroyed meanwhile.
    if (instance_ != dialog) return nullptr;
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    return dialog;
}

void frmRemDuplicates::DestroyLoaded() {
    if (instance_) DestroyWindow(instance_->hwnd_);
    UnregisterClassW(kWindowClass, ModuleInstance());
}

frmRemDuplicates::~frmRemDuplicates() {
    for (HBITMAP b : bitmaps_) DeleteObject(b);
    for (HFONT f : {fontNormal_, fontBold_, fontDetail_, fontLink_, fontLinkBig_, fontProduct_})
        if (f) DeleteObject(f);
    if (iconSmall_) DestroyIcon(iconSmall_);
    if (iconBig_) DestroyIcon(iconBig_);
}

LRESULT CALLBACK frmRemDuplicates::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<frmRemDuplicates*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<frmRemDuplicates*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        delete self;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return self->Handle(message, wParam, lParam);
}

LRESULT frmRemDuplicates::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            BuildControls();
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_NOTIFY:
            return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
        case WM_CTLCOLORSTATIC:
            return OnColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_SETCURSOR:
            if (busyPointer_) {
                SetCursor(LoadCursorW(nullptr, kWaitPointer));
                return TRUE;
            }
            for (HWND link : {GetDlgItem(hwnd_, kIdShowHelp), GetDlgItem(hwnd_, kIdAmbrelLite),
                              GetDlgItem(hwnd_, kIdQuorel), GetDlgItem(hwnd_, kIdQuorel2)}) {
                if (link && reinterpret_cast<HWND>(wParam) == link) {
                    SetCursor(LoadCursorW(nullptr, kHandPointer));
                    return TRUE;
                }
            }
            break;
        case WM_CLOSE:
            Close();
            return 0;
        case WM_DESTROY:
            // From here on a run under way ends on the bar's numbers alone.
            if (core_) core_->Detach();
            if (progBar_) progBar_->Detach();
            if (instance_ == this) instance_ = nullptr;
            if (keyboardHook_) UnhookWindowsHookEx(std::exchange(keyboardHook_, nullptr));
            return 0;
        default: break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK frmRemDuplicates::KeyboardHook(int code, WPARAM wParam, LPARAM lParam) {
    auto* msg = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && instance_ && msg->message >= WM_KEYFIRST &&
        msg->message <= WM_KEYLAST) {
        const HWND dialog = instance_->hwnd_;
        if ((msg->hwnd == dialog || IsChild(dialog, msg->hwnd)) && IsDialogMessageW(dialog, msg)) {
            // Handled: the loop that took it out dispatches nothing.
            msg->message = WM_NULL;
            msg->wParam = 0;
            msg->lParam = 0;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK frmRemDuplicates::ControlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                               DWORD_PTR) {
    switch (message) {
        case BM_CLICK:
            // Pressed from any thread and whether or not the window is active (the button's
            // own BM_CLICK goes through mouse capture, which another thread's caller may not
            // get): the parent hears the click as from the mouse.
            if (IsWindowEnabled(hwnd) && IsWindowVisible(hwnd))
                SendMessageW(GetParent(hwnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), BN_CLICKED),
                             reinterpret_cast<LPARAM>(hwnd));
            return 0;
        case TCM_SETCURSEL: {
            // A tab chosen by message shows its page as a click would.
            const LRESULT previous = DefSubclassProc(hwnd, message, wParam, lParam);
            NMHDR header{hwnd, static_cast<UINT_PTR>(GetDlgCtrlID(hwnd)), static_cast<UINT>(TCN_SELCHANGE)};
            SendMessageW(GetParent(hwnd), WM_NOTIFY, header.idFrom, reinterpret_cast<LPARAM>(&header));
            return previous;
        }
        case WM_NCDESTROY:
            RemoveWindowSubclass(hwnd, &frmRemDuplicates::ControlProc, kSubclassId);
            break;
        default: break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

void frmRemDuplicates::OnCommand(int id, int code) {
    // The handlers may destroy the window (and this object) before they return: nothing of it
    // is touched after them.
    if (code == BN_CLICKED && id == kIdRun) return cmdRemDups_Click();
    if (code == BN_CLICKED && id == kIdClose) return cmdClose_Click();
    if (code == STN_CLICKED) {
        switch (id) {
            case kIdShowHelp: return lblShowHelp_Click();
            case kIdAmbrelLite: return lblAmbrelLite_Click();
            case kIdQuorel: return lblQuorel_Click();
            case kIdQuorel2: return lblQuorel2_Click();
            default: break;
        }
    }
}

LRESULT frmRemDuplicates::OnNotify(const NMHDR& header) {
    if (header.hwndFrom == tabs_ && header.code == TCN_SELCHANGE) {
        ShowPage(TabCtrl_GetCurSel(tabs_));
    } else if (header.hwndFrom == tree_ && header.code == TVN_SELCHANGEDW) {
        // The keyboard and TVM_SELECTITEM select nodes too; a new selection counts as a click.
        TreeView1_NodeClick();
    } else if (header.hwndFrom == tree_ && header.code == NM_CLICK) {
        // A click on the node already selected changes no selection but is a click all the same.
        TVHITTESTINFO hit{};
        GetCursorPos(&hit.pt);
        ScreenToClient(tree_, &hit.pt);
        if (TreeView_HitTest(tree_, &hit) && (hit.flags & TVHT_ONITEM) && hit.hItem == TreeView_GetSelection(tree_))
            TreeView1_NodeClick();
    }
    return 0;
}

LRESULT frmRemDuplicates::OnColorStatic(HDC dc, HWND control) {
    SetBkMode(dc, TRANSPARENT);
    for (const auto& c : controls_) {
        if (c.hwnd == control && c.color != CLR_INVALID) SetTextColor(dc, c.color);
    }
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

SIZE frmRemDuplicates::Measure(HFONT font, const std::string& text, int width) const {
    HDC dc = GetDC(hwnd_);
    HGDIOBJ old = SelectObject(dc, font);
    const std::wstring wide = Widen(text);
    RECT r{0, 0, width > 0 ? width : 10000, 0};
    DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &r,
              DT_CALCRECT | DT_NOPREFIX | (width > 0 ? DT_WORDBREAK : DT_SINGLELINE));
    SelectObject(dc, old);
    ReleaseDC(hwnd_, dc);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

HWND frmRemDuplicates::Add(int page, const wchar_t* cls, const std::string& text, DWORD style, int id, int x, int y,
                           int w, int h, HFONT font, COLORREF color) {
    if (id == 0) id = kIdFirstStatic + nextStaticId_++;
    // Below the pages every control shows at once; on a page when the page does.
    if (page < 0) style |= WS_VISIBLE;
    HWND control = CreateWindowExW(0, cls, Widen(text).c_str(), WS_CHILD | style, x, y, w, h, hwnd_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ModuleInstance(), nullptr);
    if (!control) return nullptr;
    if (font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    controls_.push_back({control, page, color});
    return control;
}

HWND frmRemDuplicates::AddLabel(int page, const std::string& text, int x, int y, int w, HFONT font, COLORREF color,
                                bool wrap, int id) {
    const SIZE size = Measure(font, text, wrap ? w : 0);
    return Add(page, L"STATIC", text, SS_NOPREFIX | (wrap ? SS_LEFT : SS_LEFTNOWORDWRAP), id, x, y,
               wrap ? w : size.cx, size.cy, font, color);
}

HWND frmRemDuplicates::AddLink(int page, int id, const std::string& text, int x, int y, HFONT font) {
    // As wide as its text: only the words are the link.
    const SIZE size = Measure(font, text, 0);
    return Add(page, L"STATIC", text, SS_NOPREFIX | SS_NOTIFY | SS_LEFTNOWORDWRAP, id, x, y, size.cx, size.cy, font,
               kNavy);
}

HWND frmRemDuplicates::AddPicture(int page, const char* name, int x, int y, int w, int h) {
    HWND control = Add(page, L"STATIC", "", SS_BITMAP | SS_CENTERIMAGE, 0, x, y, w, h, nullptr);
    // Laid over the page's colour: a static control cannot blend.
    HBITMAP bitmap = LoadPicture(name, GetSysColor(COLOR_BTNFACE));
    if (control && bitmap) {
        bitmaps_.push_back(bitmap);
        SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
        SetWindowPos(control, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (bitmap) {
        DeleteObject(bitmap);
    }
    return control;
}

void frmRemDuplicates::BuildControls() {
    fontNormal_ = DialogFont(8.25);
    fontBold_ = DialogFont(8.25, true);
    fontDetail_ = DialogFont(9.75);
    fontLink_ = DialogFont(8.25, true, true);
    fontLinkBig_ = DialogFont(9.75, true, true);
    fontProduct_ = DialogFont(13.5, true);
    iconSmall_ = WindowIcon(16);
    iconBig_ = WindowIcon(32);
    if (iconSmall_) SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(iconSmall_));
    if (iconBig_) SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(iconBig_));

    // Below the pages: the advertisement reads on into its link; Close at the bottom right.
    constexpr int margin = 8;
    const int closeY = kClientHeight - margin - 25;
    close_ = Add(-1, L"BUTTON", texts::kClose, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, kIdClose,
                 kClientWidth - margin - 89, closeY, 89, 25, fontNormal_);
    const SIZE linkSize = Measure(fontLinkBig_, texts::kAmbrelLite, 0);
    HWND ambrel = AddLink(-1, kIdAmbrelLite, texts::kAmbrelLite, margin, closeY + (25 - linkSize.cy) / 2, fontLinkBig_);
    const SIZE adSize = Measure(fontNormal_, texts::kAd, 0);
    const int adY = closeY + (25 - linkSize.cy) / 2 - adSize.cy;
    AddLabel(-1, texts::kAd, margin, adY, 0, fontNormal_);

    // The pages' frame; every page's controls are the window's own children above it.
    const int tabsBottom = adY - margin;
    tabs_ = Add(-1, WC_TABCONTROLW, "", WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS, kIdTabs, margin, margin,
                kClientWidth - 2 * margin, tabsBottom - margin, fontNormal_);
    for (const char* caption : {texts::kTabRemove, texts::kTabExplain, texts::kTabAbout}) {
        std::wstring text = Widen(caption);
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = text.data();
        SendMessageW(tabs_, TCM_INSERTITEMW, TabCtrl_GetItemCount(tabs_), reinterpret_cast<LPARAM>(&item));
    }
    // Drawn classic, in the button face the labels on it are filled with.
    SetWindowTheme(tabs_, L"", L"");
    RECT page{margin, margin, kClientWidth - margin, tabsBottom};
    TabCtrl_AdjustRect(tabs_, FALSE, &page);
    BuildRemovePage(page);
    BuildExplainPage(page);
    BuildAboutPage(page);
    // Later children lie below earlier ones: the frame goes to the bottom.
    SetWindowPos(tabs_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    tooltip_ = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, ModuleInstance(), nullptr);
    if (tooltip_ && ambrel) {
        std::wstring tip = Widen(texts::kAmbrelLiteTip);
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = hwnd_;
        tool.uId = reinterpret_cast<UINT_PTR>(ambrel);
        tool.lpszText = tip.data();
        SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    for (HWND control : {run_, close_, tabs_})
        SetWindowSubclass(control, &frmRemDuplicates::ControlProc, kSubclassId, 0);

    nodes_ = std::make_unique<Win32TreeNodes>(tree_, TreeImageList(), kTreePictureCount);
    progBar_ = std::make_shared<Win32ProgressBar>(progress_);
    core_ = std::make_shared<RemovalDialog>(static_cast<DialogFace&>(*this), *nodes_, progBar_);
    ShowPage(0);
}

void frmRemDuplicates::BuildRemovePage(const RECT& page) {
    constexpr int margin = 10, spacing = 6;
    const int x = page.left + margin, w = page.right - page.left - 2 * margin;
    int y = page.top + margin;
    AddLabel(0, texts::kExplain, x, y, w, fontNormal_);
    y += spacing + Measure(fontNormal_, texts::kExplain, 0).cy;
    AddLabel(0, texts::kExplain2, x, y, w, fontNormal_, CLR_INVALID, true);
    y += spacing + 2 + Measure(fontNormal_, texts::kExplain2, w).cy;
    AddLabel(0, texts::kSelect, x, y, w, fontBold_, kBlue, true);
    y += spacing + Measure(fontBold_, texts::kSelect, w).cy;

    const int runY = page.bottom - margin - 25;
    const int statusH = Measure(fontBold_, "Ag", 0).cy + 2;
    const int statusY = runY - spacing - statusH;
    const int progressY = statusY - spacing - 16;
    tree_ = Add(0, WC_TREEVIEWW, "",
                WS_TABSTOP | WS_BORDER | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS, kIdTree,
                x, y, w, progressY - spacing - y, fontNormal_);
    progress_ = Add(0, PROGRESS_CLASSW, "", 0, kIdProgress, x, progressY, w, 16, nullptr);
    status_ = Add(0, L"STATIC", "", SS_NOPREFIX | SS_LEFTNOWORDWRAP, kIdStatus, x, statusY, w, statusH, fontBold_);
    const SIZE runText = Measure(fontNormal_, "Remove duplicate items", 0);
    const int runW = runText.cx + 24 > 150 ? runText.cx + 24 : 150;
    run_ = Add(0, L"BUTTON", texts::kRemove, WS_TABSTOP | BS_PUSHBUTTON, kIdRun, page.right - margin - runW, runY,
               runW, 25, fontNormal_);
}

void frmRemDuplicates::BuildExplainPage(const RECT& page) {
    constexpr int margin = 12, spacing = 2;
    const int x = page.left + margin, w = page.right - page.left - 2 * margin;
    int y = page.top + margin;
    AddLabel(1, texts::kHowIntro, x, y, w, fontNormal_, CLR_INVALID, true);
    y += Measure(fontNormal_, texts::kHowIntro, w).cy + spacing + 6;
    for (const auto& h : texts::kHeadings) {
        y += 4;
        const int lineH = Measure(fontBold_, h.text, 0).cy;
        AddPicture(1, "bullet", x, y + (lineH - 10) / 2, 10, 10);
        AddLabel(1, h.text, x + 16, y, 0, fontBold_);
        y += lineH + spacing;
        for (const char* text : h.lines) {
            if (!text) break;
            AddLabel(1, text, x + 16, y, 0, fontDetail_, kNavy);
            y += Measure(fontDetail_, text, 0).cy + spacing;
        }
    }
    y += 12;
    AddLabel(1, texts::kHowClosing, x, y, w, fontNormal_, CLR_INVALID, true);
}

void frmRemDuplicates::BuildAboutPage(const RECT& page) {
    constexpr int spacing = 4;
    const int x = page.left + 14, w = page.right - page.left - 28;
    int y = page.top + 14;
    AddPicture(2, "product_48", x, y, 48, 48);
    const int nameX = x + 48 + 12;
    AddLabel(2, texts::kProduct, nameX, y, 0, fontProduct_, kNavy);
    const int versionY = y + Measure(fontProduct_, texts::kProduct, 0).cy + 2;
    const SIZE versionLabel = Measure(fontNormal_, texts::kVersion, 0);
    AddLabel(2, texts::kVersion, nameX, versionY, 0, fontNormal_);
    version_ = Add(2, L"STATIC", "", SS_NOPREFIX | SS_LEFTNOWORDWRAP, kIdVersion, nameX + versionLabel.cx + 4,
                   versionY, 200, versionLabel.cy, fontNormal_);
    y += 48 + spacing + 10;

    AddLabel(2, texts::kCompany, x, y, 0, fontNormal_);
    y += Measure(fontNormal_, texts::kCompany, 0).cy + spacing;
    AddPicture(2, "maker_logo", x, y, 132, 40);
    y += 40 + spacing;
    AddLink(2, kIdQuorel, RemovalDialog::MakerUrl(), x, y, fontLink_);
    y += Measure(fontLink_, "Ag", 0).cy + spacing + 8;
    Add(2, L"STATIC", "", SS_ETCHEDHORZ, 0, x, y, w, 2, nullptr);
    y += 2 + spacing + 6;

    const SIZE help = Measure(fontNormal_, texts::kHelp, 0);
    AddLabel(2, texts::kHelp, x, y, 0, fontNormal_);
    AddLink(2, kIdShowHelp, texts::kShowHelp, x + help.cx + 4, y, fontLink_);
    y += Measure(fontLink_, "Ag", 0).cy + spacing + 6;
    Add(2, L"STATIC", "", SS_ETCHEDHORZ, 0, x, y, w, 2, nullptr);
    y += 2 + spacing + 6;

    AddLabel(2, texts::kAdd2, x, y, w, fontNormal_, CLR_INVALID, true);
    y += Measure(fontNormal_, texts::kAdd2, w).cy + spacing;
    AddLink(2, kIdQuorel2, RemovalDialog::MakerUrl(), x, y, fontLink_);
}

void frmRemDuplicates::ShowPage(int page) {
    page_ = page < 0 ? 0 : page;
    for (const auto& c : controls_) {
        if (c.page < 0) continue;
        const bool visible = c.page == page_ && (c.hwnd != status_ || statusVisible_);
        ShowWindow(c.hwnd, visible ? SW_SHOWNA : SW_HIDE);
    }
}

void frmRemDuplicates::Form_Load() { core_->Load(); }

void frmRemDuplicates::cmdRemDups_Click() {
    // The run lets messages through; the window may be destroyed before it returns.
    const auto core = core_;
    core->RunClicked();
}

void frmRemDuplicates::cmdClose_Click() { Close(); }

void frmRemDuplicates::Close() {
    // Refused while a run is under way: the scan still writes to the bar and walks the folder.
    if (!core_->MayClose()) return;
    Form_Unload();
    DestroyWindow(hwnd_);
}

void frmRemDuplicates::Form_Unload() {
    // Outside a run the dialog holds no reference into the stores: the folder of a run is
    // released when the run ends, and the tree keeps only names and IDs.
}

void frmRemDuplicates::TreeView1_NodeClick() { core_->NodeClicked(); }

void frmRemDuplicates::lblShowHelp_Click() { RemovalDialog::LinkClicked(DialogLink::ShowHelp); }
void frmRemDuplicates::lblAmbrelLite_Click() { RemovalDialog::LinkClicked(DialogLink::AmbrelLite); }
void frmRemDuplicates::lblQuorel_Click() { RemovalDialog::LinkClicked(DialogLink::Quorel); }
void frmRemDuplicates::lblQuorel2_Click() { RemovalDialog::LinkClicked(DialogLink::Quorel2); }

void frmRemDuplicates::EnableRunButton(bool enabled) { EnableWindow(run_, enabled); }
void frmRemDuplicates::EnableCloseButton(bool enabled) { EnableWindow(close_, enabled); }
void frmRemDuplicates::SetCloseCaption(const std::string& text) { SetWindowTextW(close_, Widen(text).c_str()); }

void frmRemDuplicates::ShowFirstPage() {
    TabCtrl_SetCurSel(tabs_, 0);
    ShowPage(0);
}

void frmRemDuplicates::ShowStatus(bool visible) {
    statusVisible_ = visible;
    ShowWindow(status_, visible && page_ == 0 ? SW_SHOWNA : SW_HIDE);
}

void frmRemDuplicates::SetStatusText(const std::string& text) {
    SetWindowTextW(status_, Widen(text).c_str());
    // Painted now: the scan keeps the window's messages waiting.
    InvalidateRect(status_, nullptr, TRUE);
    UpdateWindow(status_);
}

void frmRemDuplicates::SetVersionText(const std::string& text) { SetWindowTextW(version_, Widen(text).c_str()); }

void frmRemDuplicates::ShowBusyPointer(bool busy) {
    busyPointer_ = busy;
    SetCursor(LoadCursorW(nullptr, busy ? kWaitPointer : kArrowPointer));
}

const TreeNode* frmRemDuplicates::SelectedNode() const { return nodes_->SelectedItem(); }

}  // namespace nubra::ui::win
