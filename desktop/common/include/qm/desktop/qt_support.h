// The Qt side shared by the applet and the tray monitor: warning boxes from any thread, the
// state icons, and making sure an application object exists.
#pragma once

#include <QIcon>
#include <QString>

#include "qm/desktop/desktop.h"

namespace qm::desktop {

// Shows warning boxes. From the GUI thread the box is modal at once; from another thread
// (a refresh thread) it is queued to the GUI thread, so that a refresh thread never waits on
// a box while its window is being closed. Every box is also written to standard error.
class QtMessages : public Messages {
public:
    void Warn(const std::string& caption, const std::string& text) override;
};

// The icon of that name ("SERV_ACTIVE", "95SERV", "PPANEL", ...), built into the program.
QIcon NamedIcon(const std::string& name);

// Creates the QApplication when the process has none (a library opened by a runner);
// returns true when it created one, which the caller then owns until it is done.
bool EnsureApplication();
void DropOwnApplication();

inline QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

}  // namespace qm::desktop
