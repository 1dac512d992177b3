// The helper's life: make the objects (event and block before the mutex, so a requester that
// sees the mutex always finds them), serve, and end in an order that lets requests already on
// their way finish and sends later ones to the next helper.
#include "server.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <span>
#include <thread>
#include <vector>

#include "QBUtil.h"
#include "qm/ipc/objects.h"
#include "qm/platform/errors.h"
#include "qm/platform/named_objects.h"
#include "qm/qntpset/handshake.h"

namespace qm::qntpset {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::kErrAlreadyExists;
using platform::kOk;
using platform::kWaitTimeout;

constexpr const char* kModule = "qntpset";

class Helper {
public:
    Helper(const ServerOptions& options, const Registrar& registrar)
        : options_(options), registrar_(registrar) {}

    int Run() {
        int rc = Start();
        if (rc != 0) return rc;
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QNTPSET: serving, idle time %lld ms\n",
                static_cast<long long>(options_.idle.count()));
        ServeUntil([this] {
            return Clock::now() - last_ >= options_.idle || (options_.stop && options_.stop->load());
        });
        End();
        return 0;
    }

private:
    int Start() {
        int ev = event_.Create(kEventName, false);
        int bl = block_.Create(kBlockName, kRequestBlockSize);
        if (ev != kOk || (bl != kOk && bl != kErrAlreadyExists) ||
            block_.Size() < kRequestBlockSize) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTPSET: cannot make the request objects\n");
            return 2;
        }
        // A requester's existence test holds the mutex for a moment: give it time to let go
        // before concluding that another helper serves.
        for (int attempt = 0;; ++attempt) {
            int rc = mutex_.Create(kMutexName);
            if (rc == kOk) break;
            mutex_.Close();
            if (rc != kErrAlreadyExists) {
                QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTPSET: cannot make %s (%d)\n", kMutexName, rc);
                return 2;
            }
            if (attempt >= 20) {
                QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QNTPSET: another helper serves\n");
                return 1;
            }
            std::this_thread::sleep_for(50ms);
        }
        last_ = Clock::now();
        return 0;
    }

    // Waits for requests and serves them until `done` says so between two requests.
    template <typename Done>
    void ServeUntil(Done done) {
        while (!done()) {
            int rc = event_.Wait(200);
            if (rc == kWaitTimeout) continue;
            if (rc != kOk) {
                QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTPSET: wait failed (%d)\n", rc);
                std::this_thread::sleep_for(200ms);
                continue;
            }
            Handle();
            last_ = Clock::now();
        }
    }

    void Handle() {
        char copy[kRequestBlockSize] = {};
        const size_t size = std::min(block_.Size(), sizeof copy);
        block_.Read(0, std::span<char>(copy, size));
        std::vector<char> zeros(block_.Size(), 0);
        block_.Write(0, zeros);  // a stray wake-up later finds no old request

        int command = 0;
        char address[kMaxAddressLength + 1] = {};
        if (DecodeRequest(copy, size, &command, address)) {
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QNTPSET: command %d for %s\n", command, address);
            int rc = -1;
            try {
                rc = registrar_(command, address);
            } catch (const std::exception& e) {
                QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTPSET: %s\n", e.what());
            }
            QbTrace(rc == 0 ? QB_TRACE_INFO : QB_TRACE_ERROR, kModule, __LINE__,
                    "QNTPSET: command %d for %s gave %d\n", command, address, rc);
        } else {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "QNTPSET: request block holds no valid request\n");
        }
        // Acknowledged whatever the outcome: the requester waits for this and nothing else.
        event_.Set();
    }

    void End() {
        // New requesters now wait until this helper is gone, then start the next one.
        ipc::NamedEvent ending;
        ending.Create(kEndingEventName, false);
        const auto graceEnd = Clock::now() + options_.grace;
        ServeUntil([&] { return Clock::now() >= graceEnd; });
        mutex_.Close();
        block_.Close();
        event_.Close();
        // Each set wakes one waiter; keep setting so that every waiter gets its turn.
        const auto wakeEnd = Clock::now() + options_.wake;
        do {
            ending.Set();
            std::this_thread::sleep_for(10ms);
        } while (Clock::now() < wakeEnd);
        ending.Set();
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "QNTPSET: idle, ended\n");
    }

    ServerOptions options_;
    const Registrar& registrar_;
    ipc::NamedEvent event_;
    platform::SharedBlock block_;
    ipc::NamedMutex mutex_;
    Clock::time_point last_;
};

}  // namespace

int Serve(const ServerOptions& options, const Registrar& registrar) {
    return Helper(options, registrar).Run();
}

}  // namespace qm::qntpset
