// Hosts the page interpreter in this process: loads it once, runs one request per Service call
// and hands the output, as it comes, to the request that produced it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qm::httpd {

// Receives page output; returns false when the client has gone (the page is then cut short).
using PageWriter = std::function<bool(std::string_view)>;

// Why a page was cut short by its host (none when it ran to its end).
enum class PageStop { None, ClientGone, Timeout, Shutdown };

class PageHost {
public:
    PageHost() = default;
    ~PageHost();
    PageHost(const PageHost&) = delete;
    PageHost& operator=(const PageHost&) = delete;

    // Loads the interpreter ("qmintpr") and initialises it; false with `error` set on failure.
    bool Load(const std::string& libraryName, std::string* error);
    bool loaded() const { return service_ != nullptr; }
    // Pages running longer than this are cancelled (the server's Timeout); 0 never.
    void SetTimeout(std::chrono::seconds timeout) { timeout_ = timeout; }
    // Runs one request. `params` is the "|"-separated parameter text. Output reaches `writer`
    // in pieces of up to 8 KB (small writes are gathered); returns Service's result.
    // `clientFd`, when given, is the client's connection: once the client has closed it the
    // page is cancelled even while it writes nothing. `why` tells what cut the page short.
    int Run(std::string params, const PageWriter& writer, int clientFd = -1, PageStop* why = nullptr);
    // Cancels every page running now and refuses new ones (the server stops): each ends at its
    // next statement, loop turn or tag call.
    void CancelAll();
    void Release();

private:
    struct Running;
    void Watch();

    void* library_ = nullptr;
    void* service_ = nullptr;
    void* serviceFn_ = nullptr;
    void* cancelFn_ = nullptr;  // ServiceWithCancel, when the interpreter has it
    void* releaseFn_ = nullptr;
    std::chrono::seconds timeout_{0};

    // Pages in progress, watched by one thread for their deadline and their client.
    std::mutex mu_;
    std::condition_variable wake_;
    std::list<Running*> running_;
    bool cancelAll_ = false;
    bool stopWatch_ = false;
    std::thread watcher_;
};

}  // namespace qm::httpd
