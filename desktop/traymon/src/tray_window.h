// The tray monitor in Qt: the notification-area icon, its menu, and the refresh thread that
// keeps the icon in step with the server. It shows what TrayLogic decides.
#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <atomic>
#include <memory>
#include <mutex>

#include "qm/desktop/desktop.h"
#include "tray.h"

namespace qm::tray {

class TrayMonitor : public QObject {
public:
    TrayMonitor(desktop::ServerOps& ops, desktop::Messages& messages, desktop::Launcher& launcher);
    ~TrayMonitor() override;

    // Adds the start-up icon and starts the refresh thread. 0, or the event's error number.
    int Start();
    // Exit: ends the refresh thread, removes the icon and calls `onClosed`.
    void Close();
    void SetOnClosed(std::function<void()> f) { onClosed_ = std::move(f); }

    // A number from another process (MonitorIdentity): close, or re-add the icon and refresh.
    void HandleMessage(int message);
    // The icon was clicked (left/right) or double-clicked.
    void Clicked(bool doubleClick, const QPoint& at);
    // Runs a menu command as the menu does.
    void RunCommand(int id);
    // The menu for the current state, built as a click builds it (owned by the caller).
    QMenu* BuildMenu(int state);

    // What the icon shows now (GUI thread).
    const TrayView& view() const { return view_; }
    QSystemTrayIcon& icon() { return icon_; }
    int updates() const { return updates_.load(); }
    void RequestRefresh() { loop_.Signal(); }

private:
    void Show(const TrayView& v);
    void UpdateNow();

    TrayLogic logic_;
    desktop::RefreshLoop loop_;
    QSystemTrayIcon icon_;
    TrayView view_;
    std::atomic<int> updates_{0};
    std::function<void()> onClosed_;
    bool closed_ = false;
};

}  // namespace qm::tray
