#include "standin_host/client/WindowSupport.h"

namespace nubra::client {

void ShowPlainBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const std::string& text) {
    QMessageBox box(icon, title, QString::fromStdString(text), QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
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

}  // namespace nubra::client
