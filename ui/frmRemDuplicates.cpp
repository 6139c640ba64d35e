#include "ui/frmRemDuplicates.h"

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

#include "ui/DialogTexts.h"
#include "ui/FolderTree.h"
#include "ui/Pictures.h"
#include "ui/QtControls.h"

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
    setWindowTitle(Q(texts::kCaption));
    setWindowIcon(WindowIcon());
    setFont(DialogFont(8.25));
    // 8,580 x 6,915 twips at 96 dots per inch.
    setFixedSize(572, 461);

    SSTab1 = new QTabWidget(this);
    SSTab1->setObjectName(QStringLiteral("SSTab1"));
    SSTab1->addTab(BuildRemovePage(), Q(texts::kTabRemove));
    SSTab1->addTab(BuildExplainPage(), Q(texts::kTabExplain));
    SSTab1->addTab(BuildAboutPage(), Q(texts::kTabAbout));

    lblAd = MakeLabel("lblAd", Q(texts::kAd), this);
    lblAmbrelLite = MakeLink("lblAmbrelLite", Q(texts::kAmbrelLite), 9.75, this);
    lblAmbrelLite->setToolTip(Q(texts::kAmbrelLiteTip));
    cmdClose = new QPushButton(Q(texts::kClose), this);
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
    progBar_ = std::make_shared<QtProgressBar>(ProgBarWidget);
    core_ = std::make_shared<RemovalDialog>(static_cast<DialogFace&>(*this), *nodes_, progBar_);

    connect(cmdRemDups, &QPushButton::clicked, this, [this] { cmdRemDups_Click(); });
    connect(cmdClose, &QPushButton::clicked, this, [this] { cmdClose_Click(); });
    connect(TreeView1, &QTreeWidget::itemClicked, this, [this] { TreeView1_NodeClick(); });
    // The keyboard selects nodes too; a selection made by the arrow keys counts as a click.
    connect(TreeView1, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!TreeView1->selectedItems().isEmpty()) TreeView1_NodeClick();
    });
    connect(lblAmbrelLite, &LinkLabel::clicked, this, [this] { lblAmbrelLite_Click(); });
}

frmRemDuplicates::~frmRemDuplicates() { core_->Detach(); }

QWidget* frmRemDuplicates::BuildRemovePage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("SSTab1Page0"));
    lblExplain = MakeLabel("lblExplain", Q(texts::kExplain), page);
    lblExplain2 = MakeLabel("lblExplain2", Q(texts::kExplain2), page, true);
    lblSelect = MakeLabel("lblSelect", Q(texts::kSelect), page, true);
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

    cmdRemDups = new QPushButton(Q(texts::kRemove), page);
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

    layout->addWidget(MakeLabel("Label1(0)", Q(texts::kHowIntro), page, true));
    layout->addSpacing(6);

    // Named as the controls' arrays: Label2(i) and Picture1(i) per heading, Label3(n) per line.
    const QPixmap bullet = Picture(QStringLiteral("bullet.svg"), 10, 10);
    int heading = 0, detailLine = 0;
    for (const auto& h : texts::kHeadings) {
        const std::string index = "(" + std::to_string(heading++) + ")";
        auto* line = new QHBoxLayout;
        line->setSpacing(6);
        line->addWidget(MakePicture(("Picture1" + index).c_str(), bullet, page), 0, Qt::AlignVCenter);
        auto* label = MakeLabel(("Label2" + index).c_str(), QString::fromLatin1(h.text), page);
        label->setFont(DialogFont(8.25, true));
        line->addWidget(label, 1);
        layout->addSpacing(4);
        layout->addLayout(line);
        for (const char* text : h.lines) {
            if (!text) break;
            const std::string name = "Label3(" + std::to_string(detailLine++) + ")";
            auto* detail = MakeLabel(name.c_str(), QString::fromLatin1(text), page);
            detail->setFont(DialogFont(9.75));
            SetColor(detail, kNavy);
            detail->setContentsMargins(16, 0, 0, 0);
            layout->addWidget(detail);
        }
    }
    layout->addSpacing(12);
    layout->addWidget(MakeLabel("Label1(1)", Q(texts::kHowClosing), page, true));
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
    auto* lblNubra = MakeLabel("lblNubra", Q(texts::kProduct), page);
    lblNubra->setFont(DialogFont(13.5, true));
    SetColor(lblNubra, kNavy);
    auto* lblVersion = MakeLabel("lblVersion", Q(texts::kVersion), page);
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

    layout->addWidget(MakeLabel("lblCompany", Q(texts::kCompany), page));
    layout->addWidget(MakePicture("Image1", Picture(QStringLiteral("maker_logo.svg"), 132, 40), page));
    auto* lblQuorel = MakeLink("lblQuorel", Q(MakerUrl()), 8.25, page);
    layout->addWidget(lblQuorel, 0, Qt::AlignLeft);
    layout->addSpacing(8);
    layout->addWidget(MakeLine("Line1(0)", page));
    layout->addSpacing(6);

    auto* helpLine = new QHBoxLayout;
    helpLine->setSpacing(4);
    helpLine->addWidget(
        MakeLabel("Label4", Q(texts::kHelp), page));
    auto* lblShowHelp = MakeLink("lblShowHelp", Q(texts::kShowHelp), 8.25, page);
    helpLine->addWidget(lblShowHelp);
    helpLine->addStretch(1);
    layout->addLayout(helpLine);
    layout->addSpacing(6);
    layout->addWidget(MakeLine("Line1(3)", page));
    layout->addSpacing(6);

    layout->addWidget(MakeLabel("lblAdd2", Q(texts::kAdd2), page, true));
    auto* lblQuorel2 = MakeLink("lblQuorel2", Q(MakerUrl()), 8.25, page);
    layout->addWidget(lblQuorel2, 0, Qt::AlignLeft);
    layout->addStretch(1);

    connect(lblQuorel, &LinkLabel::clicked, this, [this] { lblQuorel_Click(); });
    connect(lblQuorel2, &LinkLabel::clicked, this, [this] { lblQuorel2_Click(); });
    connect(lblShowHelp, &LinkLabel::clicked, this, [this] { lblShowHelp_Click(); });
    return page;
}

void frmRemDuplicates::Form_Load() { core_->Load(); }

void frmRemDuplicates::cmdRemDups_Click() { core_->RunClicked(); }

void frmRemDuplicates::cmdClose_Click() { close(); }

void frmRemDuplicates::Form_Unload() {
    // Outside a run the dialog holds no reference into the stores: the folder of a run is
    // released when the run ends, and the tree keeps only names and IDs.
}

void frmRemDuplicates::closeEvent(QCloseEvent* event) {
    if (!core_->MayClose()) {
        event->ignore();
        return;
    }
    Form_Unload();
    // Showing the dialog again from now on loads a new one.
    if (instance_ == this) instance_ = nullptr;
    event->accept();
}

void frmRemDuplicates::TreeView1_NodeClick() { core_->NodeClicked(); }

void frmRemDuplicates::lblShowHelp_Click() { RemovalDialog::LinkClicked(DialogLink::ShowHelp); }
void frmRemDuplicates::lblAmbrelLite_Click() { RemovalDialog::LinkClicked(DialogLink::AmbrelLite); }
void frmRemDuplicates::lblQuorel_Click() { RemovalDialog::LinkClicked(DialogLink::Quorel); }
void frmRemDuplicates::lblQuorel2_Click() { RemovalDialog::LinkClicked(DialogLink::Quorel2); }

void frmRemDuplicates::EnableRunButton(bool enabled) { cmdRemDups->setEnabled(enabled); }
void frmRemDuplicates::EnableCloseButton(bool enabled) { cmdClose->setEnabled(enabled); }
void frmRemDuplicates::SetCloseCaption(const std::string& text) { cmdClose->setText(Q(text)); }
void frmRemDuplicates::ShowFirstPage() { SSTab1->setCurrentIndex(0); }
void frmRemDuplicates::ShowStatus(bool visible) { lblBusy->setVisible(visible); }

void frmRemDuplicates::SetStatusText(const std::string& text) {
    lblBusy->setText(Q(text));
    lblBusy->repaint();
}

void frmRemDuplicates::SetVersionText(const std::string& text) { lblVersionInfo->setText(Q(text)); }

void frmRemDuplicates::ShowBusyPointer(bool busy) {
    if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
    else QApplication::restoreOverrideCursor();
}

const TreeNode* frmRemDuplicates::SelectedNode() const { return nodes_->SelectedItem(); }

}  // namespace nubra::ui
