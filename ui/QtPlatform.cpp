#include "ui/QtPlatform.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QStringList>

namespace nubra::ui {

int QtPlatform::MsgBox(const std::string& prompt, int style, const std::string& title) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (style & 0x70) {
        case vbCritical: icon = QMessageBox::Critical; break;
        case vbExclamation: icon = QMessageBox::Warning; break;
        case vbInformation: icon = QMessageBox::Information; break;
        default: break;
    }
    QMessageBox box(icon, QString::fromStdString(title.empty() ? std::string("Nubra") : title),
                    QString::fromStdString(prompt), QMessageBox::Ok, QApplication::activeWindow());
    // Plain text: folder names and error descriptions must never be read as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return vbOK;
}

void QtPlatform::DoEvents() { QCoreApplication::processEvents(); }

bool QtPlatform::ShellExecute(const std::string& program, const std::vector<std::string>& arguments) {
    if (program.empty()) return false;
    QStringList args;
    for (const auto& a : arguments) args << QString::fromStdString(a);
    return QProcess::startDetached(QString::fromStdString(program), args);
}

}  // namespace nubra::ui
