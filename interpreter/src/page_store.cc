// The in-memory store of compiled pages.
#include "page_store.h"

namespace qm::intpr {

PageStore& PageStore::Instance() {
    static PageStore store;
    return store;
}

PageImage PageStore::Find(const std::string& path, const FileIdentity& identity) {
    std::lock_guard guard(lock_);
    auto it = entries_.find(path);
    if (it == entries_.end() || !(it->second.identity == identity)) return nullptr;
    return it->second.page;
}

void PageStore::Put(const std::string& path, const FileIdentity& identity, PageImage page) {
    if (!page) return;
    std::lock_guard guard(lock_);
    if (auto it = entries_.find(path); it != entries_.end()) {
        bytes_ -= it->second.page->size();
        entries_.erase(it);
    }
    if (bytes_ + page->size() > kMaxBytes) {
        entries_.clear();
        bytes_ = 0;
    }
    bytes_ += page->size();
    entries_.emplace(path, Entry{identity, std::move(page)});
}

void PageStore::Forget(const std::string& path) {
    std::lock_guard guard(lock_);
    if (auto it = entries_.find(path); it != entries_.end()) {
        bytes_ -= it->second.page->size();
        entries_.erase(it);
    }
}

}  // namespace qm::intpr
