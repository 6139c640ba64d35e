#include "standin_host/client/WindowSupport.h"

#include <QFileInfo>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSaveFile>
#include <QTreeWidget>

namespace nubra::client {

void ShowPlainBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const std::string& text) {
    QMessageBox box(icon, title, QString::fromStdString(text), QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

std::string ErrorText(const AutomationError& e) {
    return e.Description().empty() ? "Error " + std::to_string(e.Number()) : e.Description();
}

void ShowFailure(QWidget* parent, const AutomationError& e) {
    ShowPlainBox(parent, QMessageBox::Warning, QString::fromLatin1(kClientTitle), ErrorText(e));
}

bool Confirm(QWidget* parent, const std::string& text, const QString& confirm) {
    QMessageBox box(QMessageBox::Question, QString::fromLatin1(kClientTitle), QString::fromStdString(text),
                    QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    QPushButton* yes = box.addButton(confirm, QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    box.exec();
    return box.clickedButton() == yes;
}

QLabel* PlainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

std::filesystem::path ThisProgram() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec);
}

namespace {

template <typename Draw>
QIcon DrawnIcon(Draw&& draw) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    return QIcon(pixmap);
}

}  // namespace

QIcon PaperClip() {
    static const QIcon icon = DrawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(90, 90, 90), 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath clip;
        clip.moveTo(20, 9);
        clip.lineTo(20, 23);
        clip.arcTo(10, 18, 10, 10, 0, -180);
        clip.lineTo(10, 7);
        clip.arcTo(10, 2, 14, 10, 180, -180);
        clip.lineTo(24, 22);
        p.drawPath(clip);
    });
    return icon;
}

QIcon UnreadDot() {
    static const QIcon icon = DrawnIcon([](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(38, 110, 200));
        p.drawEllipse(QPointF(16, 16), 7, 7);
    });
    return icon;
}

QIcon FollowUpFlag() {
    static const QIcon icon = DrawnIcon([](QPainter& p) {
        p.setPen(QPen(QColor(90, 90, 90), 2.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(9, 5), QPointF(9, 28));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(200, 40, 40));
        QPainterPath flag;
        flag.moveTo(10, 5);
        flag.lineTo(25, 5);
        flag.lineTo(20, 10.5);
        flag.lineTo(25, 16);
        flag.lineTo(10, 16);
        flag.closeSubpath();
        p.drawPath(flag);
    });
    return icon;
}

QString SafeFileName(const QString& suggested) {
    // Both separators: a name from a message written on another system may use either.
    QString name = suggested.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1);
    name.removeIf([](QChar c) { return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format; });
    name = name.trimmed();
    constexpr qsizetype kMaxLength = 120;
    if (name.size() > kMaxLength) {
        const QString suffix = QFileInfo(name).suffix();
        const QString ext = suffix.isEmpty() || suffix.size() > 16 ? QString() : QLatin1Char('.') + suffix;
        name = name.left(kMaxLength - ext.size()) + ext;
    }
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return QStringLiteral("attachment");
    return name;
}

QString WriteWholeFile(const QString& file, const std::string& bytes) {
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) ||
        !out.commit())
        return out.errorString().isEmpty() ? QStringLiteral("not written") : out.errorString();
    return {};
}

namespace {

void AddFolderNode(QTreeWidget& tree, QTreeWidgetItem* parent, const outlook::FolderRef& folder,
                   std::vector<outlook::FolderRef>& refs) {
    auto* node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(&tree);
    const QString name = QString::fromStdString(folder->Name());
    node->setText(0, name);
    node->setData(0, kFolderNameRole, name);
    node->setData(0, Qt::UserRole, static_cast<int>(refs.size()));
    refs.push_back(folder);
    auto subfolders = folder->Folders();
    for (int32_t i = 1; i <= subfolders->Count(); ++i) AddFolderNode(tree, node, subfolders->Item(i), refs);
}

}  // namespace

void FillFolderTree(QTreeWidget& tree, outlook::NameSpace& ns, std::vector<outlook::FolderRef>& refs) {
    auto stores = ns.Folders();
    for (int32_t i = 1; i <= stores->Count(); ++i) AddFolderNode(tree, nullptr, stores->Item(i), refs);
}

outlook::FolderRef FolderOfNode(const QTreeWidgetItem* node, const std::vector<outlook::FolderRef>& refs) {
    if (!node || !node->data(0, Qt::UserRole).isValid()) return nullptr;
    const int index = node->data(0, Qt::UserRole).toInt();
    return index >= 0 && index < static_cast<int>(refs.size()) ? refs[static_cast<size_t>(index)] : nullptr;
}

}  // namespace nubra::client
