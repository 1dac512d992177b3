// The control panel applet's logic: what the main dialog shows for each server state, what its
// buttons do, and what the detail dialog loads, checks, writes and starts. No display is
// needed here; the Qt dialogs show what these classes decide.
#pragma once

#include <string>

#include "qm/desktop/desktop.h"

namespace qm::panel {

// The applet's string table (English).
const char* Text(int id);

inline constexpr const char* kCaption = "OvrelNetQuinsward Control Panel Error";
inline constexpr const char* kStateCaption = "Http Control Panel Error";
inline constexpr const char* kBrowserCaption = "Haldor Control Panel Error";

inline constexpr const char* kMainTitle = "OvrelNet HTTP Server Management";
inline constexpr const char* kDetailTitle = "OvrelNet HTTP Server Detail Setting";
inline constexpr const char* kInitialSoftware = "OvrelNetQuinsward Http Server";

// What the main dialog shows.
struct MainView {
    bool startEnabled = false, stopEnabled = false, pauseEnabled = false,
         continueEnabled = false;
    int textId = 0;             // 0 until a state was shown
    std::string icon;           // "SERV_ACTIVE", "SERV_DEACTIVE", "SERV_PAUSE"
    std::string software = kInitialSoftware;
    int state = desktop::kStateUnknown;
};

class MainLogic {
public:
    MainLogic(desktop::ServerOps& ops, desktop::Messages& messages)
        : ops_(ops), messages_(messages) {}

    // Queries the state and sets buttons, text and icon from it; an unknown state shows text 14
    // and leaves the controls as they were. Then reads ServerSoftware. Returns the state.
    int Refresh(MainView* view);
    // Start, Stop, Pause or Continue with waiting; on failure the text of the operation and
    // the server's last "[Error]" line. Afterwards both refresh events are signalled, so that
    // this dialog and the tray monitor show the new state.
    int Command(desktop::Operation op);

private:
    desktop::ServerOps& ops_;
    desktop::Messages& messages_;
};

// The detail dialog's five values.
struct DetailValues {
    std::string port, threads, timeout;
    bool startup = false, tasktray = false;
    bool operator==(const DetailValues&) const = default;
};

class DetailLogic {
public:
    DetailLogic(desktop::ServerOps& ops, desktop::Messages& messages, desktop::Launcher& launcher,
                desktop::BootService& boot)
        : ops_(ops), messages_(messages), launcher_(launcher), boot_(boot) {}

    // Loads the values and remembers them as loaded.
    DetailValues Load();
    bool trayBoxEnabled() const { return trayBoxEnabled_; }
    const DetailValues& loaded() const { return loaded_; }

    // OK with the values as edited: true when the dialog closes, false when it stays open.
    bool Ok(const DetailValues& edited);
    // "More Setting >>": the management page in the default browser.
    void MoreSetting();
    // Whether "More Setting >>" is enabled: only while the server runs.
    bool MoreSettingEnabled() { return ops_.State() == desktop::kStateRunning; }

    // 0 when valid, else the text id of the first invalid field (25, 26 or 27).
    static int Validate(const DetailValues& v);

private:
    void Warn(int id, const char* caption = kCaption);
    desktop::ServerOps& ops_;
    desktop::Messages& messages_;
    desktop::Launcher& launcher_;
    desktop::BootService& boot_;
    DetailValues loaded_;
    bool trayBoxEnabled_ = true;
    bool bootManaged_ = false;
};

}  // namespace qm::panel
