// The tray monitor in Qt (see tray_window.h).
#include "tray_window.h"

#include <QAction>
#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QMetaObject>
#include <QScreen>

#include "QBUtil.h"
#include "qm/desktop/qt_support.h"

namespace qm::tray {

using desktop::Q;

TrayMonitor::TrayMonitor(desktop::ServerOps& ops, desktop::Messages& messages,
                         desktop::Launcher& launcher)
    : logic_(ops, messages, launcher) {
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) {
                    Clicked(false, {});
                } else if (reason == QSystemTrayIcon::DoubleClick) {
                    Clicked(true, {});
                }
            });
}

TrayMonitor::~TrayMonitor() {
    loop_.Stop();
    icon_.hide();
}

int TrayMonitor::Start() {
    Show(TrayView{});  // the start-up icon, "95SERV"
    // The refresh thread asks the server and the registry; the icon changes on this thread.
    return loop_.Start(desktop::kMonitorOwner, [this] {
        TrayView v = logic_.Update();
        QMetaObject::invokeMethod(this, [this, v] { Show(v); }, Qt::QueuedConnection);
    });
}

void TrayMonitor::Show(const TrayView& v) {
    view_ = v;
    ++updates_;
    QbTrace(QB_TRACE_INFO, "QMMONITOR", __LINE__, "QMMONITOR: icon %s (%s), %s",
            v.visible ? v.icon.c_str() : "none", v.tip.c_str(), v.visible ? "shown" : "hidden");
    if (!v.visible) {
        icon_.hide();
        return;
    }
    icon_.setIcon(desktop::NamedIcon(v.icon));
    icon_.setToolTip(Q(v.tip.substr(0, 63)));
    icon_.show();
}

void TrayMonitor::UpdateNow() { Show(logic_.Update()); }

void TrayMonitor::Close() {
    if (closed_) return;
    closed_ = true;
    loop_.Stop();
    icon_.hide();
    if (onClosed_) onClosed_();
}

void TrayMonitor::HandleMessage(int message) {
    if (message == desktop::kMsgClose) {
        Close();
    } else if (message == desktop::kMsgRefresh) {
        // As after a restart of the shell: the start-up icon again, then the real one.
        Show(TrayView{});
        loop_.Signal();
    }
}

QMenu* TrayMonitor::BuildMenu(int state) {
    auto* menu = new QMenu;
    for (const MenuItem& item : logic_.Menu(state)) {
        if (item.id == 0) {
            menu->addSeparator();
            continue;
        }
        QAction* a = menu->addAction(Q(item.text));
        a->setData(item.id);
        if (item.isDefault) {
            QFont f = a->font();
            f.setBold(true);
            a->setFont(f);
            menu->setDefaultAction(a);
        }
        int id = item.id;
        connect(a, &QAction::triggered, this, [this, id] { RunCommand(id); },
                Qt::QueuedConnection);
    }
    return menu;
}

void TrayMonitor::Clicked(bool doubleClick, const QPoint& at) {
    UpdateNow();
    if (doubleClick) {
        RunCommand(kCmdProperty);
        return;
    }
    QMenu* menu = BuildMenu(view_.state);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // Trays that do not tell where the icon is (StatusNotifier hosts) get the menu at the
    // pointer, which is on the icon when it was clicked.
    QRect area = icon_.geometry();
    if (!area.isValid()) area = QRect(at.isNull() ? QCursor::pos() : at, QSize(1, 1));
    QScreen* screen = QGuiApplication::screenAt(area.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    QSize size = menu->sizeHint();
    QPoint pos = area.topLeft();
    if (screen) {
        QRect s = screen->geometry();
        MenuPlacement p = PlaceMenu(area.left() - s.left(), area.top() - s.top(),
                                    area.right() - s.left(), area.bottom() - s.top(), s.width(),
                                    s.height());
        pos = QPoint(s.left() + (p.rightAligned ? p.x - size.width() : p.x),
                     s.top() + (p.bottomAligned ? p.y - size.height() : p.y));
    }
    menu->popup(pos);
}

void TrayMonitor::RunCommand(int id) {
    switch (logic_.Command(id)) {
        case TrayLogic::After::Close:
            Close();
            break;
        case TrayLogic::After::Update:
            UpdateNow();
            break;
        case TrayLogic::After::Nothing:
            break;
    }
}

}  // namespace qm::tray
