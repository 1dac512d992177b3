// The tray monitor's logic: the icon and tip for each state, the popup menu for each state and
// where it goes, what each menu command does, and the command line. No display is needed
// here; the Qt layer (tray_window.h) shows what this decides.
#pragma once

#include <string>
#include <vector>

#include "qm/desktop/desktop.h"

namespace qm::tray {

// The monitor's string table (English).
const char* Text(int id);

inline constexpr const char* kCaption = "OvrelNetQuinsward Monitor Error";
inline constexpr const char* kStartupIcon = "95SERV";
inline constexpr int kIconId = 100;
inline constexpr int kCallbackMessage = 5120;

// Menu command identifiers.
inline constexpr int kCmdExit = 1010;
inline constexpr int kCmdHide = 108;
inline constexpr int kCmdStart = 1030;
inline constexpr int kCmdStop = 1040;
inline constexpr int kCmdPause = 1050;
inline constexpr int kCmdContinue = 1060;
inline constexpr int kCmdProperty = 1020;

struct TrayView {
    bool visible = true;
    std::string icon = kStartupIcon;
    std::string tip = desktop::kMonitorTitle;
    int state = desktop::kStateUnknown;
};

struct MenuItem {
    int id = 0;  // 0: a separator
    std::string text;
    bool isDefault = false;
};

// Where the menu goes, next to the notification area (screen coordinates).
struct MenuPlacement {
    int x = 0, y = 0;
    bool rightAligned = false;   // x is the menu's right edge
    bool bottomAligned = false;  // y is the menu's bottom edge
};
MenuPlacement PlaceMenu(int areaLeft, int areaTop, int areaRight, int areaBottom, int screenWidth,
                        int screenHeight);

// What the command line asks for.
enum class Invocation { Run, Stop };
Invocation ParseInvocation(const std::vector<std::string>& args);

class TrayLogic {
public:
    TrayLogic(desktop::ServerOps& ops, desktop::Messages& messages, desktop::Launcher& launcher)
        : ops_(ops), messages_(messages), launcher_(launcher) {}

    // The icon update: the state and `tasktray` decide the icon, its tip and whether it shows.
    TrayView Update();
    // The popup menu for a state (an unknown state warns and offers no state items).
    std::vector<MenuItem> Menu(int state);

    enum class After { Nothing, Close, Update };
    // Runs a menu command; says whether the window closes or the icon is updated next.
    After Command(int id);

private:
    void Warn(int id);
    desktop::ServerOps& ops_;
    desktop::Messages& messages_;
    desktop::Launcher& launcher_;
};

}  // namespace qm::tray
