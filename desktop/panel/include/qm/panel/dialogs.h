// The applet's dialogs in Qt: they show what MainLogic and DetailLogic decide and pass the
// user's presses back to them.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <mutex>

#include "qm/desktop/desktop.h"
#include "qm/desktop/qt_support.h"
#include "qm/panel/panel.h"

namespace qm::panel {

class DetailDialog;

// The main dialog "PPANEL". Its refresh thread starts when the dialog is shown and ends when
// it closes (flag, event, join).
class MainDialog : public QDialog {
public:
    MainDialog(desktop::ServerOps& ops, desktop::Messages& messages, desktop::Launcher& launcher,
               desktop::BootService& boot, QWidget* parent = nullptr);
    ~MainDialog() override;

    QPushButton* button(desktop::Operation op) const;
    QPushButton* detailButton() const { return detail_; }
    QString stateText() const { return stateText_->text(); }
    QString softwareText() const { return software_->text(); }
    const std::string& iconName() const { return iconName_; }
    // The detail dialog while it is open (for the refresh thread and for tests).
    DetailDialog* openDetail() const { return detailDialog_; }
    // Signals this applet's refresh event.
    void RequestRefresh() { loop_.Signal(); }

    void OpenDetail();

protected:
    void showEvent(QShowEvent* e) override;
    void done(int r) override;

private:
    void Show(const MainView& view);
    void StopRefresh();

    desktop::ServerOps& ops_;
    desktop::Messages& messages_;
    desktop::Launcher& launcher_;
    desktop::BootService& boot_;
    MainLogic logic_;
    MainView threadView_;  // owned by the refresh thread
    desktop::RefreshLoop loop_;
    QLabel* software_;
    QLabel* icon_;
    QLabel* stateText_;
    QPushButton* detail_;
    QPushButton* buttons_[4];
    std::string iconName_;
    QPointer<DetailDialog> detailDialog_;
};

// The detail dialog "DETAIL".
class DetailDialog : public QDialog {
public:
    DetailDialog(desktop::ServerOps& ops, desktop::Messages& messages,
                 desktop::Launcher& launcher, desktop::BootService& boot,
                 QWidget* parent = nullptr);

    QLineEdit* port() const { return port_; }
    QLineEdit* threads() const { return threads_; }
    QLineEdit* timeout() const { return timeout_; }
    QCheckBox* startup() const { return startup_; }
    QCheckBox* tasktray() const { return tasktray_; }
    QPushButton* moreSetting() const { return more_; }
    void SetMoreSettingEnabled(bool on) { more_->setEnabled(on); }

    void accept() override;

private:
    DetailValues Edited() const;
    DetailLogic logic_;
    QLineEdit* port_;
    QLineEdit* threads_;
    QLineEdit* timeout_;
    QCheckBox* startup_;
    QCheckBox* tasktray_;
    QPushButton* more_;
};

// The open routine of the applet: builds the service log path and, when that works, shows
// the main dialog modally. 0 when the dialog was shown, -1 when nothing opened.
int OpenApplet();

}  // namespace qm::panel
