// The control panel applet's logic (see panel.h).
#include "qm/panel/panel.h"

#include <map>

#include "qm/platform/registry.h"

namespace qm::panel {

namespace {

using desktop::Operation;
using platform::RegRoot;

const std::map<int, const char*>& Table() {
    static const std::map<int, const char*> t = {
        {1, "Http Server is running."},
        {2, "Http Server is stopped."},
        {4, "Http Server is paused."},
        {12, "Failed to open Http Server registry."},
        {13, "Failed to read Http Server registry."},
        {14, "Failed to get Http Server status."},
        {15, "Failed to start Http Server."},
        {16, "Failed to stop Http Server."},
        {17, "Failed to pause Http Server."},
        {18, "Failed to continue Http Server."},
        {19, "Failed to write Http Server registry."},
        {20, "Failed to open Http Server Management page."},
        {21, "Failed to open SCM database."},
        {22, "Failed to open Http Server Service."},
        {23, "Failed to modify Http Server Service information."},
        {25, "Port Number parameter is invalid."},
        {26, "Thread Number parameter is invalid."},
        {27, "Timeout parameter is invalid."},
        {200, "OvrelNet Http Server"},
        {300, "OvrelNet Http Server CPL"},
    };
    return t;
}

// Reads a value of the Httpd key as text (a number in decimal). 0, 12 when the key cannot be
// opened, 13 when the value cannot be read.
int ReadText(const char* name, std::string* out) {
    if (platform::RegOpenKey(RegRoot::LocalMachine, desktop::kHttpdKey) != 0) return 12;
    platform::RegValue v;
    if (platform::RegGetValue(RegRoot::LocalMachine, desktop::kHttpdKey, name, &v) != 0) return 13;
    *out = v.type == platform::kRegDword ? std::to_string(v.number) : v.text;
    return 0;
}

int ReadFlag(const char* name, bool* out) {
    if (platform::RegOpenKey(RegRoot::LocalMachine, desktop::kHttpdKey) != 0) return 12;
    platform::RegValue v;
    if (platform::RegGetValue(RegRoot::LocalMachine, desktop::kHttpdKey, name, &v) != 0 ||
        v.type != platform::kRegDword) {
        return 13;
    }
    *out = v.number != 0;
    return 0;
}

// A field of decimal digits only, at most `maxDigits` of them, within [low, high].
bool InRange(const std::string& text, size_t maxDigits, long low, long high) {
    if (text.empty() || text.size() > maxDigits) return false;
    long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    return n >= low && n <= high;
}

}  // namespace

const char* Text(int id) {
    auto it = Table().find(id);
    return it == Table().end() ? "" : it->second;
}

// ---- Main dialog -------------------------------------------------------------------------

int MainLogic::Refresh(MainView* view) {
    int state = ops_.State();
    switch (state) {
        case desktop::kStateRunning:
            *view = MainView{false, true, true, false, 1, "SERV_ACTIVE", view->software, state};
            break;
        case desktop::kStateStopped:
            *view = MainView{true, false, false, false, 2, "SERV_DEACTIVE", view->software, state};
            break;
        case desktop::kStatePaused:
            *view = MainView{false, true, false, true, 4, "SERV_PAUSE", view->software, state};
            break;
        default:
            messages_.Warn(kStateCaption, Text(14));
            break;
    }
    std::string software;
    int rc = ReadText("ServerSoftware", &software);
    if (rc == 0) {
        view->software = software;
    } else {
        messages_.Warn(kCaption, Text(rc));
    }
    return state;
}

int MainLogic::Command(Operation op) {
    int rc = ops_.Run(op, false);
    if (rc != 0) {
        static constexpr int kFailure[] = {15, 16, 17, 18};
        messages_.Warn(kCaption, Text(kFailure[static_cast<int>(op)]));
        std::string line = ops_.LastError();
        if (!line.empty()) messages_.Warn(kCaption, line);
    }
    desktop::SignalRefresh(desktop::kMonitorOwner);
    desktop::SignalRefresh(desktop::kPanelOwner);
    return rc;
}

// ---- Detail dialog -----------------------------------------------------------------------

void DetailLogic::Warn(int id, const char* caption) { messages_.Warn(caption, Text(id)); }

DetailValues DetailLogic::Load() {
    DetailValues v;
    // Windows NT 3.x had no notification area; its class number is kept for the rule's sake.
    trayBoxEnabled_ = ops_.Platform() != 4;
    int rc;
    if ((rc = ReadText("Port", &v.port)) != 0) Warn(13);
    if ((rc = ReadText("MaxChildThreads", &v.threads)) != 0) Warn(13);
    if ((rc = ReadText("Timeout", &v.timeout)) != 0) Warn(13);
    if ((rc = ReadFlag("startup", &v.startup)) != 0) Warn(13);
    if ((rc = ReadFlag("tasktray", &v.tasktray)) != 0) Warn(13);
    // Where systemd manages the server, its unit's enablement is the start-up setting, as the
    // service's start type is where a service manager starts the server.
    bootManaged_ = boot_.Managed();
    if (bootManaged_) {
        bool enabled = false;
        rc = boot_.Enabled(&enabled);
        if (rc == 0) {
            v.startup = enabled;
        } else {
            Warn(rc);
        }
    }
    if (!launcher_.MonitorRunning()) v.tasktray = false;
    loaded_ = v;
    return v;
}

int DetailLogic::Validate(const DetailValues& v) {
    if (!InRange(v.port, 5, 1, 65535)) return 25;
    if (!InRange(v.threads, 5, 1, 10000)) return 26;
    if (!InRange(v.timeout, 3, 1, 600)) return 27;
    return 0;
}

bool DetailLogic::Ok(const DetailValues& edited) {
    const bool changed = !(edited == loaded_);
    const bool serverChanged = edited.port != loaded_.port ||
                               edited.threads != loaded_.threads ||
                               edited.timeout != loaded_.timeout;
    if (changed) {
        if (int id = Validate(edited); id != 0) {
            Warn(id);
            return false;
        }
        // Each value is written on its own: one that fails does not keep the others back.
        using platform::RegSetNumber;
        using platform::RegSetString;
        const char* key = desktop::kHttpdKey;
        if (RegSetString(RegRoot::LocalMachine, key, "Port", edited.port) != 0) Warn(19);
        if (RegSetString(RegRoot::LocalMachine, key, "Timeout", edited.timeout) != 0) Warn(19);
        if (RegSetString(RegRoot::LocalMachine, key, "MaxChildThreads", edited.threads) != 0) {
            Warn(19);
        }
        if (RegSetNumber(RegRoot::LocalMachine, key, "startup", edited.startup ? 1 : 0) != 0) {
            Warn(19);
        }
        if (RegSetNumber(RegRoot::LocalMachine, key, "tasktray", edited.tasktray ? 1 : 0) != 0) {
            Warn(19);
        }
    }
    if (bootManaged_ && edited.startup != loaded_.startup) {
        if (int rc = boot_.SetEnabled(edited.startup); rc != 0) {
            Warn(rc);
            return false;
        }
    }
    if (changed && serverChanged) {
        int state = ops_.State();
        if (state == desktop::kStateUnknown) {
            Warn(14);
        } else if (state == desktop::kStateRunning) {
            // The server reads its settings again when it continues. The pause is awaited
            // before the continue goes out: a continue sent while the server still runs finds
            // it running, does nothing, and the pause that lands afterwards would leave the
            // server paused.
            if (ops_.Run(Operation::Pause, false) != 0) {
                Warn(17);
            } else if (ops_.Run(Operation::Continue, true) != 0) {
                Warn(18);
            }
        }
    }
    if (edited.tasktray && !launcher_.MonitorRunning()) {
        if (launcher_.StartMonitor() != 0) {
            Warn(20);
            return false;
        }
    }
    desktop::SignalRefresh(desktop::kMonitorOwner);
    desktop::SignalRefresh(desktop::kPanelOwner);
    return true;
}

void DetailLogic::MoreSetting() {
    std::string host, port, script;
    for (auto [name, out] : {std::pair{"Hostname", &host}, std::pair{"Port", &port},
                             std::pair{"SpecialCgiScript", &script}}) {
        if (int rc = ReadText(name, out); rc != 0) {
            Warn(rc, kBrowserCaption);
            return;
        }
    }
    // The administration program lives with the other CGI programs, under /cgi-bin/; a
    // script given with its folder is taken as it is.
    while (!script.empty() && script.front() == '/') script.erase(0, 1);
    if (script.find('/') == std::string::npos) script = "cgi-bin/" + script;
    if (launcher_.OpenBrowser("http://" + host + ":" + port + "/" + script) != 0) Warn(20);
}

}  // namespace qm::panel
