// The handle wrappers: the few places where the services' results differ from the platform's.
#include "qm/ipc/objects.h"

#include <cstring>

#include "qm/platform/clock.h"

namespace qm::ipc {

using qm::platform::kErrAlreadyExists;
using qm::platform::kErrInvalidHandle;
using qm::platform::kErrInvalidParameter;
using qm::platform::kOk;
using qm::platform::kSharedBlockSize;

int NamedEvent::Create(std::string_view name, bool initiallySignalled) {
    int rc = ev_.Create(name, initiallySignalled);
    return rc == kErrAlreadyExists ? kOk : rc;
}

int NamedEvent::Open(std::string_view name) { return ev_.Open(name); }

int MailslotReader::Receive(uint32_t timeoutMs) {
    buffer_.fill('\0');
    size_t got = 0;
    return slot_.Receive(std::span<char>(buffer_.data(), kMailslotBuffer), &got, timeoutMs);
}

std::string_view MailslotReader::Text() const { return std::string_view(buffer_.data()); }

std::string LocalSlotName(std::string_view slot) {
    std::string computer = qm::platform::ComputerName();
    if (computer.empty()) return {};
    return "\\\\" + computer + "\\MAILSLOT\\" + std::string(slot);
}

int PostMessage(std::string_view slot, std::string_view text) {
    std::string name = LocalSlotName(slot);
    if (name.empty()) return qm::platform::kErrBadNetPath;
    MailslotWriter w;
    if (int rc = w.Open(name); rc != kOk) return rc;
    int rc = w.Write(text);
    w.Close();
    return rc;
}

int ControlMap::Create(std::string_view name) {
    int rc = block_.Create(name);
    cursor_ = 0;
    return rc == kErrAlreadyExists ? kOk : rc;
}

int ControlMap::Open(std::string_view name) {
    cursor_ = 0;
    return block_.Open(name);
}

int ControlMap::Put(std::string_view text) {
    char* data = block_.Data();
    if (!data) return kErrInvalidHandle;
    if (text.find('\0') != std::string_view::npos ||
        cursor_ + text.size() + 1 > kSharedBlockSize) {
        return kErrInvalidParameter;
    }
    std::memcpy(data + cursor_, text.data(), text.size());
    data[cursor_ + text.size()] = '\0';
    cursor_ += text.size() + 1;
    return kOk;
}

std::string ControlMap::Next() {
    const char* data = block_.Data();
    if (!data || cursor_ >= kSharedBlockSize) return {};
    // Another process wrote the block: it may hold no terminator at all.
    size_t end = cursor_;
    while (end < kSharedBlockSize && data[end] != '\0') ++end;
    std::string text(data + cursor_, end - cursor_);
    if (!text.empty()) cursor_ = end < kSharedBlockSize ? end + 1 : end;
    return text;
}

int ControlMap::Close() {
    cursor_ = 0;
    return block_.Close();
}

}  // namespace qm::ipc
