// The applet's dialogs and the tray monitor on a virtual X display (Xvfb) against a real
// qmhttpd started from a temporary installation root: the dialog shows the server's real
// state, its buttons and the tray menu change it, and the tray icon follows. Screenshots of
// every state go to artefacts/desktop/ of the build tree. Skipped where Xvfb is not installed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "fakes.h"
#include "qm/panel/dialogs.h"
#include "qm/platform/registry.h"
#include "qm/svcctl/svcctl.h"
#include "qm/testing/testing.h"
#include "tray_window.h"

namespace {

using namespace qm::desktop;
using namespace qm::desktop::testing;
using qm::platform::RegRoot;

// One X server for the whole run, started on a display number it picks itself (-displayfd),
// so that runs beside each other never meet.
class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string xvfb;
        for (const char* d : {"/usr/bin", "/usr/local/bin", "/bin"}) {
            if (access((std::string(d) + "/Xvfb").c_str(), X_OK) == 0) xvfb = std::string(d) + "/Xvfb";
        }
        if (xvfb.empty()) {
            why_ = "Xvfb is not installed (Debian: xvfb)";
            return;
        }
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            int devnull = ::open("/dev/null", O_RDWR);
            dup2(devnull, 1);
            dup2(devnull, 2);
            std::string fd = std::to_string(fds[1]);
            execl(xvfb.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24",
                  "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (poll(&p, 1, 1000) <= 0) continue;
            char c;
            if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        ::close(fds[0]);
        if (number.empty()) {
            why_ = "Xvfb did not start";
            return;
        }
        setenv("DISPLAY", (":" + number).c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "desktop_gui_test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        app_->setQuitOnLastWindowClosed(false);
    }
    void TearDown() override {
        app_.reset();  // before the X server goes
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    static const std::string& why() { return why_; }
    static bool ready() { return QApplication::instance() != nullptr; }

private:
    pid_t pid_ = -1;
    std::unique_ptr<QApplication> app_;
    static inline std::string why_;
};

// Waits for a condition while the GUI thread keeps handling events.
bool WaitFor(const std::function<bool()>& cond, std::chrono::seconds limit = std::chrono::seconds(60)) {
    return qm::testing::Eventually(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            return cond();
        },
        limit);
}

class Gui : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XvfbEnvironment::ready()) GTEST_SKIP() << XvfbEnvironment::why();
        std::filesystem::create_directories(QM_ARTEFACTS_DIR);
        std::filesystem::create_symlink(qm::testing::BuildBinFolder() + "/qmhttpd",
                                        root_ / "bin/qmhttpd");
        auto set = [](const char* n, const std::string& v) {
            ASSERT_EQ(qm::platform::RegSetString(RegRoot::LocalMachine, kHttpdKey, n, v, true), 0);
        };
        set("Port", std::to_string(qm::testing::FreePort()));
        set("InstallationPath", root_ / "bin");
        set("ServerRoot", root_ / "htdocs");
        set("ServerSoftware", "qmhttpd/1.0");
        set("MaxChildThreads", "16");
        set("Timeout", "60");
        set("Hostname", "localhost");
        set("SpecialCgiScript", "nph-QMHTTPD.exe");
        qm::platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, "startup", 0);
        qm::platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, "tasktray", 1);
    }
    void TearDown() override {
        if (GetServerState() != kStateStopped) {
            StopServer(0);
            std::ifstream lock(root_ / "run/qmhttpd.lock");
            pid_t pid = 0;
            if (lock >> pid && pid > 0 && GetServerState() != kStateStopped) kill(pid, SIGKILL);
        }
    }
    static void Shot(QWidget* w, const std::string& name) {
        EXPECT_TRUE(w->grab().save(QString::fromStdString(std::string(QM_ARTEFACTS_DIR) + "/" + name)))
            << name;
    }
    static void IconShot(qm::tray::TrayMonitor& tray, const std::string& name) {
        EXPECT_TRUE(tray.icon().icon().pixmap(32, 32).save(
            QString::fromStdString(std::string(QM_ARTEFACTS_DIR) + "/" + name)));
    }
    // Pops the tray menu up as a click does, keeps a picture of it, and hands it back open.
    QMenu* MenuShot(qm::tray::TrayMonitor& tray, const std::string& name) {
        QMenu* menu = tray.BuildMenu(tray.view().state);
        menu->popup(QPoint(400, 300));
        EXPECT_TRUE(WaitFor([&] { return menu->isVisible(); }));
        Shot(menu, name);
        return menu;
    }
    static QAction* Item(QMenu* menu, int id) {
        for (QAction* a : menu->actions()) {
            if (a->data().toInt() == id) return a;
        }
        return nullptr;
    }

    qm::testing::TempRoot root_;
    ServerOps ops_;  // the real control helpers
    RecordingMessages messages_;
    FakeLauncher launcher_;
    FakeBoot boot_;
};

TEST_F(Gui, AppletAndTrayFollowTheRealServer) {
    qm::panel::MainDialog dialog(ops_, messages_, launcher_, boot_);
    qm::tray::TrayMonitor tray(ops_, messages_, launcher_);
    launcher_.monitorRunning = true;
    dialog.show();
    ASSERT_EQ(tray.Start(), 0);

    // Waits until the dialog and the tray icon both show `state`. A server slower than the
    // helpers' five seconds is seen later by the helpers than by the refresh that followed
    // the button; then the refresh events are signalled again, as any program may.
    auto follows = [&](const char* text, const char* icon, int state) {
        EXPECT_TRUE(WaitFor([&] { return GetServerState() == state; })) << text;
        bool slow = !messages_.boxes.empty();
        if (slow) {
            messages_.boxes.clear();
            SignalRefresh(kPanelOwner);
            SignalRefresh(kMonitorOwner);
        }
        EXPECT_TRUE(WaitFor([&] {
            return dialog.stateText() == text && dialog.iconName() == icon &&
                   tray.view().icon == icon;
        })) << text << ": dialog shows \"" << dialog.stateText().toStdString() << "\", tray "
            << tray.view().icon;
    };

    follows("Http Server is stopped.", "SERV_DEACTIVE", kStateStopped);
    EXPECT_EQ(dialog.softwareText(), "qmhttpd/1.0");
    EXPECT_TRUE(dialog.button(Operation::Start)->isEnabled());
    EXPECT_FALSE(dialog.button(Operation::Stop)->isEnabled());
    Shot(&dialog, "panel_stopped.png");
    IconShot(tray, "tray_icon_stopped.png");
    QMenu* menu = MenuShot(tray, "tray_menu_stopped.png");
    EXPECT_NE(Item(menu, qm::tray::kCmdStart), nullptr);
    EXPECT_EQ(Item(menu, qm::tray::kCmdStop), nullptr);
    EXPECT_EQ(menu->defaultAction(), Item(menu, qm::tray::kCmdProperty));
    menu->close();
    delete menu;

    // A click pops the menu up beside the icon: here (no tray tells where the icon is) at the
    // click, in the lower half of the screen above it, in the left half to its right.
    tray.Clicked(false, QPoint(500, 600));
    QWidget* popup = nullptr;
    EXPECT_TRUE(WaitFor([&] {
        popup = QApplication::activePopupWidget();
        return popup && popup->isVisible();
    }));
    if (popup) {
        EXPECT_EQ(popup->geometry().left(), 500);
        EXPECT_EQ(popup->geometry().bottom(), 599);
        popup->close();
    }

    // Start from the dialog's button.
    dialog.button(Operation::Start)->click();
    follows("Http Server is running.", "SERV_ACTIVE", kStateRunning);
    EXPECT_FALSE(dialog.button(Operation::Start)->isEnabled());
    EXPECT_TRUE(dialog.button(Operation::Pause)->isEnabled());
    Shot(&dialog, "panel_running.png");
    IconShot(tray, "tray_icon_running.png");

    // Pause from the tray menu: the dialog follows the tray.
    menu = MenuShot(tray, "tray_menu_running.png");
    ASSERT_NE(Item(menu, qm::tray::kCmdPause), nullptr);
    Item(menu, qm::tray::kCmdPause)->trigger();
    menu->close();
    menu->deleteLater();
    follows("Http Server is paused.", "SERV_PAUSE", kStatePaused);
    EXPECT_TRUE(dialog.button(Operation::Continue)->isEnabled());
    EXPECT_FALSE(dialog.button(Operation::Pause)->isEnabled());
    Shot(&dialog, "panel_paused.png");
    IconShot(tray, "tray_icon_paused.png");
    menu = MenuShot(tray, "tray_menu_paused.png");
    EXPECT_NE(Item(menu, qm::tray::kCmdContinue), nullptr);
    menu->close();
    delete menu;

    // Continue from the dialog, then the detail dialog while the server runs.
    dialog.button(Operation::Continue)->click();
    follows("Http Server is running.", "SERV_ACTIVE", kStateRunning);
    {
        qm::panel::DetailDialog detail(ops_, messages_, launcher_, boot_, &dialog);
        detail.SetMoreSettingEnabled(ops_.State() == kStateRunning);
        detail.show();
        EXPECT_TRUE(WaitFor([&] { return detail.isVisible(); }));
        EXPECT_EQ(detail.windowTitle(), "OvrelNet HTTP Server Detail Setting");
        EXPECT_EQ(detail.port()->text().toStdString(),
                  qm::platform::RegReadText(RegRoot::LocalMachine, kHttpdKey, "Port"));
        EXPECT_TRUE(detail.tasktray()->isChecked());
        EXPECT_TRUE(detail.moreSetting()->isEnabled());
        Shot(&detail, "detail.png");
        detail.port()->setText("65536");
        detail.accept();
        EXPECT_TRUE(detail.isVisible()) << "a refused port keeps the dialog open";
        EXPECT_EQ(messages_.texts(), std::vector<std::string>{"Port Number parameter is invalid."});
        messages_.boxes.clear();
        detail.moreSetting()->click();
        ASSERT_EQ(launcher_.urls.size(), 1u);
        EXPECT_EQ(launcher_.urls[0].rfind("http://localhost:", 0), 0u);
        detail.reject();
    }

    // Stop from the tray menu.
    menu = tray.BuildMenu(tray.view().state);
    ASSERT_NE(Item(menu, qm::tray::kCmdStop), nullptr);
    Item(menu, qm::tray::kCmdStop)->trigger();
    delete menu;
    follows("Http Server is stopped.", "SERV_DEACTIVE", kStateStopped);
    EXPECT_TRUE(messages_.boxes.empty());

    // Hide: tasktray 0 removes the icon; the applet's detail dialog brings it back.
    tray.RunCommand(qm::tray::kCmdHide);
    EXPECT_TRUE(WaitFor([&] { return !tray.view().visible; }));
    qm::platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, "tasktray", 1);
    SignalRefresh(kMonitorOwner);
    EXPECT_TRUE(WaitFor([&] { return tray.view().visible; }));

    dialog.accept();
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(Gui, TheRunnerOpensTheAppletThroughItsEntry) {
    // The applet's refresh event exists exactly while its main dialog is open.
    ASSERT_EQ(SignalRefresh(kPanelOwner), 2);
    qm::testing::Child runner([] {
        std::string p = qm::testing::BuildBinFolder() + "/qmcplrun";
        execl(p.c_str(), p.c_str(), "QMPANEL.cpl", static_cast<char*>(nullptr));
        return 127;
    });
    EXPECT_TRUE(qm::testing::Eventually([] { return SignalRefresh(kPanelOwner) == 0; },
                                        std::chrono::seconds(60)));
    EXPECT_EQ(runner.Wait(std::chrono::milliseconds(0)), -1) << "the dialog stays until closed";
    runner.Kill(SIGTERM);
    EXPECT_EQ(runner.Wait(std::chrono::seconds(60)), -SIGTERM);
}

}  // namespace

// Qt's X11 platform keeps a connection to the session bus whose buffers the D-Bus library
// never frees; they are the system libraries' own, not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);
    return RUN_ALL_TESTS();
}
