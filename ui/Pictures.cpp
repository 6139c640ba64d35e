#include "ui/Pictures.h"

#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

// Resources of a static library must be registered by hand; outside any namespace.
static void InitNubraResources() { Q_INIT_RESOURCE(resources); }

namespace nubra::ui {

namespace {
void EnsureResources() {
    static const bool done = (InitNubraResources(), true);
    (void)done;
}
}  // namespace

QPixmap Picture(const QString& name, int width, int height) {
    EnsureResources();
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(QSize(width, height) * ratio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/nubra/") + name);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

QIcon WindowIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(Picture(QStringLiteral("nubra_window.svg"), size, size));
    return icon;
}

std::vector<QIcon> TreeImageList() {
    std::vector<QIcon> list;
    for (const char* name : {"tree_mail.svg", "tree_store.svg", "tree_contacts.svg", "tree_calendar.svg",
                             "tree_tasks.svg", "tree_notes.svg"}) {
        QIcon icon;
        icon.addPixmap(Picture(QString::fromLatin1(name), kTreePictureSize, kTreePictureSize));
        icon.addPixmap(Picture(QString::fromLatin1(name), kTreeIconSize, kTreeIconSize));
        list.push_back(icon);
    }
    return list;
}

}  // namespace nubra::ui
