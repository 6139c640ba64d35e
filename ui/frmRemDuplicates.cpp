#include "ui/frmRemDuplicates.h"

#include <exception>
#include <new>

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "globals/NubraGlobals.h"
#include "host/Platform.h"
#include "ui/FolderTree.h"
#include "ui/Pictures.h"
#include "ui/QtControls.h"
#include "ui/RemovalRun.h"

#ifndef NUBRA_VERSION_MAJOR
#define NUBRA_VERSION_MAJOR 0
#endif
#ifndef NUBRA_VERSION_MINOR
#define NUBRA_VERSION_MINOR 0
#endif
#ifndef NUBRA_VERSION_REVISION
#define NUBRA_VERSION_REVISION 0
#endif
#ifndef NUBRA_MAKER_URL
#define NUBRA_MAKER_URL ""
#endif

namespace nubra::ui {

QPointer<frmRemDuplicates> frmRemDuplicates::instance_;

namespace {

const QColor kNavy(0, 0, 128);
const QColor kBlue(0, 0, 255);

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The dialog's face: the classic "MS Sans Serif", else the nearest sans serif installed.
QFont DialogFont(double points, bool bold = false, bool underline = false) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setUnderline(underline);
    return font;
}

void SetColor(QWidget* w, const QColor& color) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, color);
    w->setPalette(p);
}

QLabel* MakeLabel(const char* name, const QString& text, QWidget* parent, bool wrap = false) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(wrap);
    return label;
}

QFrame* MakeLine(const char* name, QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setObjectName(QLatin1String(name));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel* MakePicture(const char* name, const QPixmap& pixmap, QWidget* parent) {
    auto* picture = new QLabel(parent);
    picture->setObjectName(QLatin1String(name));
    picture->setPixmap(pixmap);
    picture->setFixedSize(pixmap.deviceIndependentSize().toSize());
    return picture;
}

LinkLabel* MakeLink(const char* name, const QString& text, double points, QWidget* parent) {
    auto* link = new LinkLabel(text, parent);
    link->setObjectName(QLatin1String(name));
    link->setFont(DialogFont(points, true, true));
    SetColor(link, kNavy);
    return link;
}

// A failure of any kind as the pending error: what the contracts raise keeps its number;
// anything else is named as the run-time would name it.
void SetPending(const std::exception& e) {
    if (auto* a = dynamic_cast<const AutomationError*>(&e)) {
        Err().Set(*a);
    } else if (dynamic_cast<const std::bad_alloc*>(&e)) {
        Err().Set(AutomationError(errnum::kOutOfMemory, DefaultErrorDescription(errnum::kOutOfMemory)));
    } else {
        Err().Set(AutomationError(errnum::kMapiCallFailed, e.what()));
    }
}

void ReportError(const char* procedure) {
    if (goErrHandler) goErrHandler->HandleError(procedure);
}

void WriteToLog(const std::string& text) {
    if (!goLog) RaiseError(errnum::kObjectVariableNotSet);
    goLog->WriteToLog(text);
}

// Shows the busy pointer for as long as it lives.
class BusyPointer {
public:
    BusyPointer() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyPointer() { QApplication::restoreOverrideCursor(); }
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;
};

}  // namespace

LinkLabel::LinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
    setCursor(Qt::PointingHandCursor);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
}

frmRemDuplicates* frmRemDuplicates::Show(QWidget* owner) {
    if (!instance_) {
        instance_ = new frmRemDuplicates(owner);
        QPointer<frmRemDuplicates> loaded = instance_;
        loaded->Form_Load();
        // Loading may have shown message boxes; the dialog opens all the same.
        if (!loaded) return nullptr;
        loaded->show();
        return loaded;
    }
    instance_->show();
    instance_->raise();
    instance_->activateWindow();
    return instance_;
}

frmRemDuplicates* frmRemDuplicates::Instance() { return instance_; }

frmRemDuplicates::frmRemDuplicates(QWidget* owner) : QWidget(owner, Qt::Window) {
    setObjectName(QStringLiteral("frmRemDuplicates"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Nubrasweep"));
    setWindowIcon(WindowIcon());
    setFont(DialogFont(8.25));
    // 8,580 x 6,915 twips at 96 dots per inch.
    setFixedSize(572, 461);

    SSTab1 = new QTabWidget(this);
    SSTab1->setObjectName(QStringLiteral("SSTab1"));
    SSTab1->addTab(BuildRemovePage(), QStringLiteral("&Remove duplicate items"));
    SSTab1->addTab(BuildExplainPage(), QStringLiteral("&How Nubra finds duplicates"));
    SSTab1->addTab(BuildAboutPage(), QStringLiteral("&About Nubra"));

    lblAd = MakeLabel("lblAd",
                      QStringLiteral("If you run Outlook on mulitple computers then check Quorel's FREE "
                                     "synchronization tool: "),
                      this);
    lblAmbrelLite = MakeLink("lblAmbrelLite", QStringLiteral("Ambrel Lite"), 9.75, this);
    lblAmbrelLite->setToolTip(QStringLiteral("Click here to go to the Ambrel page on Quorel's website"));
    cmdClose = new QPushButton(QStringLiteral("&Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setFixedSize(89, 25);

    // The advertisement reads on into its link on the next line; Close sits at the bottom right.
    auto* bottom = new QGridLayout;
    bottom->setHorizontalSpacing(8);
    bottom->setVerticalSpacing(0);
    bottom->addWidget(lblAd, 0, 0, 1, 2, Qt::AlignLeft | Qt::AlignBottom);
    bottom->addWidget(lblAmbrelLite, 1, 0, Qt::AlignLeft | Qt::AlignVCenter);
    bottom->addWidget(cmdClose, 1, 1, Qt::AlignRight | Qt::AlignVCenter);
    bottom->setColumnStretch(0, 1);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);
    outer->setSpacing(8);
    outer->addWidget(SSTab1, 1);
    outer->addLayout(bottom);

    nodes_ = std::make_unique<QtTreeNodes>(TreeView1, TreeImageList());
    folderTree_ = std::make_unique<FolderTree>(*nodes_);
    progBar_ = std::make_shared<QtProgressBar>(ProgBarWidget);

    connect(cmdRemDups, &QPushButton::clicked, this, [this] { cmdRemDups_Click(); });
    connect(cmdClose, &QPushButton::clicked, this, [this] { cmdClose_Click(); });
    connect(TreeView1, &QTreeWidget::itemClicked, this, [this] { TreeView1_NodeClick(); });
    // The keyboard selects nodes too; a selection made by the arrow keys counts as a click.
    connect(TreeView1, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!TreeView1->selectedItems().isEmpty()) TreeView1_NodeClick();
    });
    connect(lblAmbrelLite, &LinkLabel::clicked, this, [this] { lblAmbrelLite_Click(); });
}

frmRemDuplicates::~frmRemDuplicates() = default;

QWidget* frmRemDuplicates::BuildRemovePage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("SSTab1Page0"));
    lblExplain = MakeLabel("lblExplain", QStringLiteral("Remove duplicate items from a selected folder"), page);
    lblExplain2 = MakeLabel("lblExplain2",
                            QStringLiteral("If Nubra finds duplicate items then Nubra will create a subfolder "
                                           "'Nubra_Duplicate_Items' in the selected folder and all duplicate "
                                           "items found will be MOVED to this subfolder."),
                            page, true);
    lblSelect = MakeLabel("lblSelect",
                          QStringLiteral("Select a folder and click 'Remove duplicate items' to have Nubra "
                                         "look for duplicates."),
                          page, true);
    lblSelect->setFont(DialogFont(8.25, true));
    SetColor(lblSelect, kBlue);

    TreeView1 = new QTreeWidget(page);
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    TreeView1->setHeaderHidden(true);
    TreeView1->setColumnCount(1);
    TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setIconSize(QSize(kTreeIconSize, kTreeIconSize));
    TreeView1->setRootIsDecorated(true);
    TreeView1->setUniformRowHeights(true);

    ProgBarWidget = new QProgressBar(page);
    ProgBarWidget->setObjectName(QStringLiteral("ProgBar"));
    ProgBarWidget->setFixedHeight(16);

    lblBusy = MakeLabel("lblBusy", QString(), page);
    lblBusy->setFont(DialogFont(8.25, true));
    // Hiding the status text must not make the tree jump.
    QSizePolicy keep = lblBusy->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    lblBusy->setSizePolicy(keep);
    lblBusy->setMinimumHeight(lblBusy->fontMetrics().height() + 2);

    cmdRemDups = new QPushButton(QStringLiteral("Remove &duplicate items"), page);
    cmdRemDups->setObjectName(QStringLiteral("cmdRemDups"));
    cmdRemDups->setMinimumSize(150, 25);

    auto* runLine = new QHBoxLayout;
    runLine->addStretch(1);
    runLine->addWidget(cmdRemDups);

    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(6);
    layout->addWidget(lblExplain);
    layout->addWidget(lblExplain2);
    layout->addSpacing(2);
    layout->addWidget(lblSelect);
    layout->addWidget(TreeView1, 1);
    layout->addWidget(ProgBarWidget);
    layout->addWidget(lblBusy);
    layout->addLayout(runLine);

    // Not visible: the tree's pictures (imgList) live in the node collection.
    return page;
}

QWidget* frmRemDuplicates::BuildExplainPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("SSTab1Page1"));
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(2);

    layout->addWidget(MakeLabel("Label1(0)",
                                QStringLiteral("When Nubra looks to see if an item is already present in a folder "
                                               "it uses the following properties to determine if an item is a "
                                               "duplicate item:"),
                                page, true));
    layout->addSpacing(6);

    struct Heading {
        const char* label2;
        const char* picture;
        const char* text;
        std::vector<std::pair<const char*, const char*>> lines;  // Label3 name, text
    };
    const std::vector<Heading> headings = {
        {"Label2(0)", "Picture1(0)", "Contacts:", {{"Label3(0)", "First name, Last name, Company name and Email address"}}},
        {"Label2(1)", "Picture1(1)", "Appointments:", {{"Label3(1)", "Subject, Location, Start date and End date"}}},
        {"Label2(2)", "Picture1(2)", "Tasks:", {{"Label3(2)", "Subject, Start date, Due date and Status"}}},
        {"Label2(3)", "Picture1(3)", "Notes:", {{"Label3(3)", "Contents of the note and Color"}}},
        {"Label2(4)",
         "Picture1(4)",
         "Emails:",
         {{"Label3(4)", "- received emails: the internet message ID (= a unique identifier)"},
          {"Label3(5)", "- sent emails: email subject and the time the email is sent"},
          {"Label3(6)", "- unsent emails: email subject only"}}},
    };
    const QPixmap bullet = Picture(QStringLiteral("bullet.svg"), 10, 10);
    for (const auto& h : headings) {
        auto* line = new QHBoxLayout;
        line->setSpacing(6);
        line->addWidget(MakePicture(h.picture, bullet, page), 0, Qt::AlignVCenter);
        auto* heading = MakeLabel(h.label2, QString::fromLatin1(h.text), page);
        heading->setFont(DialogFont(8.25, true));
        line->addWidget(heading, 1);
        layout->addSpacing(4);
        layout->addLayout(line);
        for (const auto& [name, text] : h.lines) {
            auto* detail = MakeLabel(name, QString::fromLatin1(text), page);
            detail->setFont(DialogFont(9.75));
            SetColor(detail, kNavy);
            detail->setContentsMargins(16, 0, 0, 0);
            layout->addWidget(detail);
        }
    }
    layout->addSpacing(12);
    layout->addWidget(MakeLabel("Label1(1)",
                                QStringLiteral("If all properties are the same then Nubra assumes it's the same item"),
                                page, true));
    layout->addStretch(1);
    return page;
}

QWidget* frmRemDuplicates::BuildAboutPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("SSTab1Page2"));
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(14, 14, 14, 10);
    layout->setSpacing(4);

    auto* picIcon = MakePicture("picIcon", Picture(QStringLiteral("nubra_product.svg"), 48, 48), page);
    auto* lblNubra = MakeLabel("lblNubra", QStringLiteral("Nubrasweep"), page);
    lblNubra->setFont(DialogFont(13.5, true));
    SetColor(lblNubra, kNavy);
    auto* lblVersion = MakeLabel("lblVersion", QStringLiteral("Version:"), page);
    lblVersionInfo = MakeLabel("lblVersionInfo", QString(), page);
    auto* versionLine = new QHBoxLayout;
    versionLine->setSpacing(4);
    versionLine->addWidget(lblVersion);
    versionLine->addWidget(lblVersionInfo);
    versionLine->addStretch(1);
    auto* nameBlock = new QVBoxLayout;
    nameBlock->setSpacing(2);
    nameBlock->addWidget(lblNubra);
    nameBlock->addLayout(versionLine);
    auto* head = new QHBoxLayout;
    head->setSpacing(12);
    head->addWidget(picIcon, 0, Qt::AlignTop);
    head->addLayout(nameBlock, 1);
    layout->addLayout(head);
    layout->addSpacing(10);

    layout->addWidget(MakeLabel("lblCompany", QStringLiteral("Made by"), page));
    layout->addWidget(MakePicture("Image1", Picture(QStringLiteral("maker_logo.svg"), 132, 40), page));
    auto* lblQuorel = MakeLink("lblQuorel", Q(MakerUrl()), 8.25, page);
    layout->addWidget(lblQuorel, 0, Qt::AlignLeft);
    layout->addSpacing(8);
    layout->addWidget(MakeLine("Line1(0)", page));
    layout->addSpacing(6);

    auto* helpLine = new QHBoxLayout;
    helpLine->setSpacing(4);
    helpLine->addWidget(
        MakeLabel("Label4", QStringLiteral("For help on how to enable / disable and uninstall Nubra"), page));
    auto* lblShowHelp = MakeLink("lblShowHelp", QStringLiteral("click here"), 8.25, page);
    helpLine->addWidget(lblShowHelp);
    helpLine->addStretch(1);
    layout->addLayout(helpLine);
    layout->addSpacing(6);
    layout->addWidget(MakeLine("Line1(3)", page));
    layout->addSpacing(6);

    layout->addWidget(MakeLabel(
        "lblAdd2",
        QStringLiteral("Check out our award winning synchronization tools Ambrel Lite and Ambrel PRO on"), page,
        true));
    auto* lblQuorel2 = MakeLink("lblQuorel2", Q(MakerUrl()), 8.25, page);
    layout->addWidget(lblQuorel2, 0, Qt::AlignLeft);
    layout->addStretch(1);

    connect(lblQuorel, &LinkLabel::clicked, this, [this] { lblQuorel_Click(); });
    connect(lblQuorel2, &LinkLabel::clicked, this, [this] { lblQuorel2_Click(); });
    connect(lblShowHelp, &LinkLabel::clicked, this, [this] { lblShowHelp_Click(); });
    return page;
}

std::string frmRemDuplicates::VersionText(int major, int minor, int revision) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(revision);
}

std::string frmRemDuplicates::ModuleVersion() {
    return VersionText(NUBRA_VERSION_MAJOR, NUBRA_VERSION_MINOR, NUBRA_VERSION_REVISION);
}

std::string frmRemDuplicates::MakerUrl() { return NUBRA_MAKER_URL; }

std::string frmRemDuplicates::HelpPage() { return AddinModuleFolder() + "/Nubra_help.htm"; }

void frmRemDuplicates::Form_Load() {
    try {
        WriteToLog("frmRemDuplicates.Form_load: Form loaded");
        cmdRemDups->setEnabled(false);
        cmdClose->setText(QStringLiteral("Close"));
        SSTab1->setCurrentIndex(0);
        lblBusy->setVisible(false);
        lblVersionInfo->setText(Q(ModuleVersion()));
        {
            // Restored on every path: the pointer is the whole application's.
            BusyPointer busy;
            folderTree_->FillTreeView();
        }
        mbReady = true;
    } catch (const std::exception& e) {
        SetPending(e);
        ReportError("frmRemDuplicates.Form_load");
    }
}

void frmRemDuplicates::cmdRemDups_Click() {
    if (running_) return;
    running_ = true;
    // The scan lets the interface run; whoever owns the dialog could destroy it meanwhile.
    // The bar's numbers outlive the dialog, and nothing of the dialog is touched once it is gone.
    QPointer<frmRemDuplicates> self(this);
    std::shared_ptr<QtProgressBar> bar = progBar_;
    outlook::FolderRef folder;
    auto finish = [&] {
        mbReady = true;
        if (bar->Min() <= 0 && bar->Max() >= 0) bar->SetValue(0);
        cmdClose->setEnabled(true);
        cmdRemDups->setEnabled(true);
    };
    try {
        cmdClose->setEnabled(false);
        cmdRemDups->setEnabled(false);

        const QtTreeNodes::Node* node = nodes_->SelectedItem();
        if (!node) RaiseError(errnum::kObjectVariableNotSet);
        // The very first node counts as no selection.
        if (node->Index() > 1) {
            folder = FolderOfNode(*folderTree_, *node);
            lblBusy->setVisible(true);
            RemovalRun run(
                [self](const std::string& text) {
                    if (!self) return;
                    self->lblBusy->setText(Q(text));
                    self->lblBusy->repaint();
                },
                [self](bool scanning) {
                    if (self) self->mbReady = !scanning;
                });
            run.Run(folder, *bar);
            if (!self) return;
        } else {
            ThePlatform().MsgBox("You have not made a selection. Please select a folder from the list",
                                 vbInformation, gsAppTitle);
            if (!self) return;
        }
        cmdClose->setEnabled(true);
        cmdRemDups->setEnabled(true);
    } catch (const std::exception& e) {
        SetPending(e);
        folder.reset();
        ReportError("frmRemDuplicates.cmdRemDups_Click");
        if (!self) return;
        // A failed run must leave the dialog usable: ready, bar back at 0, both buttons on.
        try {
            finish();
        } catch (const std::exception&) {
        }
    }
    folder.reset();
    running_ = false;
}

void frmRemDuplicates::cmdClose_Click() { close(); }

void frmRemDuplicates::Form_Unload() {
    // Outside a run the dialog holds no reference into the stores: the folder of a run is
    // released when the run ends, and the tree keeps only names and IDs.
}

void frmRemDuplicates::closeEvent(QCloseEvent* event) {
    if (running_) {
        event->ignore();
        return;
    }
    Form_Unload();
    // Showing the dialog again from now on loads a new one.
    if (instance_ == this) instance_ = nullptr;
    event->accept();
}

void frmRemDuplicates::TreeView1_NodeClick() {
    lblBusy->setVisible(false);
    if (mbReady) cmdRemDups->setEnabled(true);
}

void frmRemDuplicates::OpenLink(const std::string& address, const char* procedure) {
    // A failure here (the browser's look-up file cannot be written) must not end the host.
    try {
        OpenInDefaultBrowser(address);
    } catch (const std::exception& e) {
        SetPending(e);
        ReportError(procedure);
    }
}

void frmRemDuplicates::lblShowHelp_Click() { OpenLink(HelpPage(), "frmRemDuplicates.lblShowHelp_Click"); }
void frmRemDuplicates::lblAmbrelLite_Click() { OpenLink(MakerUrl(), "frmRemDuplicates.lblAmbrelLite_Click"); }
void frmRemDuplicates::lblQuorel_Click() { OpenLink(MakerUrl(), "frmRemDuplicates.lblQuorel_Click"); }
void frmRemDuplicates::lblQuorel2_Click() { OpenLink(MakerUrl(), "frmRemDuplicates.lblQuorel2_Click"); }

}  // namespace nubra::ui
