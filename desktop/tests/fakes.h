// Scripted stand-ins for the desktop's seams, so that the logic can be driven through every
// state and every failure without a server, a display or systemd.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "qm/desktop/desktop.h"

namespace qm::desktop::testing {

class FakeOps : public ServerOps {
public:
    int platform = 2;
    int state = kStateStopped;
    int result = 0;           // what every operation answers
    bool opsChangeState = true;  // a successful operation moves `state` as the server would
    std::string lastError;
    std::vector<std::pair<Operation, bool>> calls;  // operation, noWait

    int Platform() override { return platform; }
    int State() override { return state; }
    int Run(Operation op, bool noWait) override;
    std::string LastError() override { return lastError; }
};

class RecordingMessages : public Messages {
public:
    std::vector<std::pair<std::string, std::string>> boxes;  // caption, text
    void Warn(const std::string& caption, const std::string& text) override {
        boxes.emplace_back(caption, text);
    }
    std::vector<std::string> texts() const;
};

class FakeLauncher : public Launcher {
public:
    bool monitorRunning = false;
    int result = 0;
    int monitorStarts = 0, appletOpens = 0;
    std::vector<std::string> urls;
    int StartMonitor() override {
        ++monitorStarts;
        return result;
    }
    int OpenApplet() override {
        ++appletOpens;
        return result;
    }
    int OpenBrowser(const std::string& url) override {
        urls.push_back(url);
        return result;
    }
    bool MonitorRunning() override { return monitorRunning; }
};

class FakeBoot : public BootService {
public:
    bool managed = false, enabled = false;
    int queryResult = 0, setResult = 0;
    std::vector<bool> sets;
    bool Managed() override { return managed; }
    int Enabled(bool* e) override {
        *e = enabled;
        return queryResult;
    }
    int SetEnabled(bool e) override {
        sets.push_back(e);
        return setResult;
    }
};

}  // namespace qm::desktop::testing
