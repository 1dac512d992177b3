#include "fakes.h"

namespace qm::desktop::testing {

int FakeOps::Run(Operation op, bool noWait) {
    calls.emplace_back(op, noWait);
    if (result == 0 && opsChangeState) {
        switch (op) {
            case Operation::Start:
            case Operation::Continue: state = kStateRunning; break;
            case Operation::Stop: state = kStateStopped; break;
            case Operation::Pause: state = kStatePaused; break;
        }
    }
    return result;
}

std::vector<std::string> RecordingMessages::texts() const {
    std::vector<std::string> t;
    for (const auto& b : boxes) t.push_back(b.second);
    return t;
}

}  // namespace qm::desktop::testing
