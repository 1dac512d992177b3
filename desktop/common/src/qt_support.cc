// The Qt side shared by the applet and the tray monitor (see qt_support.h).
#include "qm/desktop/qt_support.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <cstdio>
#include <memory>

// The icons are compiled into the library that holds this file; a static library needs its
// resources pulled in by name.
static void InitDesktopResources() { Q_INIT_RESOURCE(desktop); }

namespace qm::desktop {

namespace {

std::unique_ptr<QApplication> gOwnApp;

void ShowBox(const QString& caption, const QString& text) {
    QMessageBox::warning(nullptr, caption, text);
}

}  // namespace

void QtMessages::Warn(const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QString c = Q(caption), t = Q(text);
    if (QThread::currentThread() == app->thread()) {
        ShowBox(c, t);
    } else {
        QMetaObject::invokeMethod(app, [c, t] { ShowBox(c, t); }, Qt::QueuedConnection);
    }
}

QIcon NamedIcon(const std::string& name) {
    static const bool once = (InitDesktopResources(), true);
    (void)once;
    return QIcon(QString(":/qm/icons/%1.png").arg(Q(name)));
}

bool EnsureApplication() {
    if (QCoreApplication::instance()) return false;
    static int argc = 1;
    static char name[] = "QMPANEL";
    static char* argv[] = {name, nullptr};
    gOwnApp = std::make_unique<QApplication>(argc, argv);
    return true;
}

void DropOwnApplication() { gOwnApp.reset(); }

}  // namespace qm::desktop
