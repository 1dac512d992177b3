// Page output through the host's callback, and the one-line error messages written into pages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qmintpr/tag_library.h"

namespace qm::intpr {

// Message ids of the interpreter's string table.
enum class Msg {
    OutOfMemory = 1,
    NotFound = 2,
    NotCreate = 3,
    MacroError = 5,
    Error = 6,
    SyntaxError = 7,
    DiskWriteError = 9,
    DiskReadError = 10,
    InitializeError = 11,
    TooDeep = 12,    // a template nests blocks or expressions deeper than a page may
    TooLong = 13,    // a text or name grows past what one page record holds
};

std::string_view MessageText(Msg id);

// first + ": " (when given), second cut to 64 characters + " " (when given), then the message
// text; never more than 324 bytes.
std::string ErrorLine(std::string_view first, std::string_view second, Msg id);

// Where a request's page goes. Empty writes are dropped: only the final end-of-page call may
// carry zero bytes. A negative result from the callback is the host's way to stop a request
// (its client went away): nothing more is written and the page stops at the next statement.
// The host's cancel flag (set from another thread: client gone, time-out, shutdown) stops it
// the same way, also while the page writes nothing.
class PageOutput {
public:
    PageOutput(void* context, QmOutputCallback callback, const int32_t* cancel = nullptr)
        : context_(context), callback_(callback), cancel_(cancel) {}

    void Write(std::string_view bytes) const {
        if (bytes.empty() || !callback_ || stopped()) return;
        if (callback_(context_, QM_OUTPUT_HTML, static_cast<int32_t>(bytes.size()), bytes.data()) < 0) {
            stopped_ = true;
        }
    }
    bool stopped() const {
        if (!stopped_ && cancel_ && __atomic_load_n(cancel_, __ATOMIC_ACQUIRE) != 0) stopped_ = true;
        return stopped_;
    }
    void Error(std::string_view first, std::string_view second, Msg id) const {
        Write(ErrorLine(first, second, id));
    }
    int32_t End() const { return callback_ ? callback_(context_, QM_OUTPUT_HTML, 0, nullptr) : 0; }

    void* context() const { return context_; }
    QmOutputCallback callback() const { return callback_; }

private:
    void* context_;
    QmOutputCallback callback_;
    const int32_t* cancel_;
    mutable bool stopped_ = false;
};

}  // namespace qm::intpr
