// Hosts the page interpreter in this process: loads it once, runs one request per Service call
// and hands the output, as it comes, to the request that produced it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace qm::httpd {

// Receives page output; returns false when the client has gone (the page is then cut short).
using PageWriter = std::function<bool(std::string_view)>;

class PageHost {
public:
    PageHost() = default;
    ~PageHost();
    PageHost(const PageHost&) = delete;
    PageHost& operator=(const PageHost&) = delete;

    // Loads the interpreter ("qmintpr") and initialises it; false with `error` set on failure.
    bool Load(const std::string& libraryName, std::string* error);
    bool loaded() const { return service_ != nullptr; }
    // Runs one request. `params` is the "|"-separated parameter text. Output reaches `writer`
    // in pieces of up to 8 KB (small writes are gathered); returns Service's result.
    int Run(std::string params, const PageWriter& writer);
    void Release();

private:
    void* library_ = nullptr;
    void* service_ = nullptr;
    void* serviceFn_ = nullptr;
    void* releaseFn_ = nullptr;
};

}  // namespace qm::httpd
