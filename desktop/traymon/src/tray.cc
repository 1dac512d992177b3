// The tray monitor's logic (see tray.h).
#include "tray.h"

#include <strings.h>

#include <map>

#include "qm/platform/registry.h"

namespace qm::tray {

namespace {

using desktop::Operation;
using platform::RegRoot;

const std::map<int, const char*>& Table() {
    static const std::map<int, const char*> t = {
        {1, "Http Server is running."},
        {2, "Http Server is stopped."},
        {3, "Http Server is not registerd."},
        {4, "Http Server is paused."},
        {5, "Exit OvrelNet HTTP Server Monitor"},
        {6, "Start Http Server"},
        {7, "Stop Http Server"},
        {8, "Pause Http Server"},
        {9, "Continue Http Server"},
        {10, "Http Server Property"},
        {12, "Failed to open Httpd registry."},
        {13, "Failed to read Httpd registry."},
        {14, "Failed to get Http Server status."},
        {15, "Failed to start Http Server."},
        {16, "Failed to stop Http Server."},
        {17, "Failed to pause Http Server."},
        {18, "Failed to continue Http Server."},
        {19, "Failed to start Http Serve\?\xE2\x80\x99 Contorl Panel."},
        {20, "Hide OvrelNet HTTP Server Monitor"},
        {21, "Failed to write Http Server registry."},
    };
    return t;
}

}  // namespace

const char* Text(int id) {
    auto it = Table().find(id);
    return it == Table().end() ? "" : it->second;
}

void TrayLogic::Warn(int id) { messages_.Warn(kCaption, Text(id)); }

MenuPlacement PlaceMenu(int areaLeft, int areaTop, int areaRight, int areaBottom, int screenWidth,
                        int screenHeight) {
    MenuPlacement p;
    if (areaLeft < screenWidth / 2) {
        p.x = areaLeft;
    } else {
        p.x = areaRight;
        p.rightAligned = true;
    }
    if (areaTop < screenHeight / 2) {
        p.y = areaBottom;
    } else {
        p.y = areaTop;
        p.bottomAligned = true;
    }
    return p;
}

Invocation ParseInvocation(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (strcasecmp(a.c_str(), "-stop") == 0) return Invocation::Stop;
    }
    return Invocation::Run;
}

TrayView TrayLogic::Update() {
    TrayView v;
    v.state = ops_.State();
    // The icon shows unless tasktray says 0; a value that cannot be read counts as 1.
    bool show = true;
    if (platform::RegOpenKey(RegRoot::LocalMachine, desktop::kHttpdKey) != 0) {
        Warn(12);
    } else {
        platform::RegValue value;
        if (platform::RegGetValue(RegRoot::LocalMachine, desktop::kHttpdKey, "tasktray", &value) !=
            0) {
            Warn(13);
        } else {
            show = value.type == platform::kRegDword ? value.number != 0
                                                      : value.text != "0";
        }
    }
    if (!show) {
        v.visible = false;
        return v;
    }
    switch (v.state) {
        case desktop::kStateRunning:
            v.icon = "SERV_ACTIVE";
            v.tip = Text(1);
            break;
        case desktop::kStateStopped:
            v.icon = "SERV_DEACTIVE";
            v.tip = Text(2);
            break;
        case desktop::kStatePaused:
            v.icon = "SERV_PAUSE";
            v.tip = Text(4);
            break;
        default:
            v.icon = "SERV_UNKNOWN";
            v.tip = Text(3);
            Warn(14);
            break;
    }
    return v;
}

std::vector<MenuItem> TrayLogic::Menu(int state) {
    std::vector<MenuItem> m = {{kCmdExit, Text(5)}, {kCmdHide, Text(20)}, {0, ""}};
    switch (state) {
        case desktop::kStateStopped:
            m.push_back({kCmdStart, Text(6)});
            break;
        case desktop::kStateRunning:
            m.push_back({kCmdStop, Text(7)});
            m.push_back({kCmdPause, Text(8)});
            break;
        case desktop::kStatePaused:
            m.push_back({kCmdStop, Text(7)});
            m.push_back({kCmdContinue, Text(9)});
            break;
        default:
            Warn(14);
            break;
    }
    m.push_back({kCmdProperty, Text(10), true});
    return m;
}

TrayLogic::After TrayLogic::Command(int id) {
    switch (id) {
        case kCmdExit:
            return After::Close;
        case kCmdHide:
            if (platform::RegOpenKey(RegRoot::LocalMachine, desktop::kHttpdKey) != 0) {
                Warn(12);
                return After::Nothing;
            }
            if (platform::RegSetNumber(RegRoot::LocalMachine, desktop::kHttpdKey, "tasktray", 0) !=
                0) {
                Warn(21);
            }
            desktop::SignalRefresh(desktop::kMonitorOwner);
            desktop::SignalRefresh(desktop::kPanelOwner);
            return After::Nothing;
        case kCmdProperty:
            if (launcher_.OpenApplet() != 0) Warn(19);
            return After::Nothing;
        case kCmdStart:
        case kCmdStop:
        case kCmdPause:
        case kCmdContinue: {
            static constexpr Operation kOps[] = {Operation::Start, Operation::Stop,
                                                 Operation::Pause, Operation::Continue};
            int index = (id - kCmdStart) / 10;
            int rc = ops_.Run(kOps[index], false);
            if (rc != 0) {
                Warn(15 + index);
                std::string line = ops_.LastError();
                if (!line.empty()) messages_.Warn(kCaption, line);
            }
            // An open applet shows the change too.
            desktop::SignalRefresh(desktop::kPanelOwner);
            return After::Update;
        }
        default:
            return After::Nothing;
    }
}

}  // namespace qm::tray
