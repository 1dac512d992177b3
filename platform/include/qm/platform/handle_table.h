// Small positive integer handles for objects handed across a C border (gateway handles, tag
// processors, discovery searches, sessions).
//
// Contract: handles run 1, 2, 3, ... up to `maxHandle` (INT32_MAX unless a test asks for less)
// and then wrap to 1, skipping handles still in use, so a long-running process never runs out
// while fewer than `maxHandle` objects are open, and a handle is not given out again while its
// object is in the table. Add returns 0 when every handle is taken. Objects are held by
// shared_ptr: Find hands out a reference, so an object removed while another thread still uses
// it lives until that thread lets go. Every call takes the table's own lock; callers need no
// lock of their own for the table. Nothing here throws except allocation in Add (bad_alloc).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace qm::platform {

template <typename T>
class HandleTable {
public:
    explicit HandleTable(int32_t maxHandle = INT32_MAX) : max_(maxHandle < 1 ? 1 : maxHandle) {}

    // A fresh handle for `object`, or 0 when every handle is in use (or `object` is empty).
    int32_t Add(std::shared_ptr<T> object) {
        if (!object) return 0;
        std::lock_guard lock(mu_);
        if (objects_.size() >= static_cast<size_t>(max_)) return 0;
        int32_t h = next_;
        while (objects_.count(h) != 0) h = After(h);
        next_ = After(h);
        objects_.emplace(h, std::move(object));
        return h;
    }

    std::shared_ptr<T> Find(int32_t handle) const {
        std::lock_guard lock(mu_);
        auto it = objects_.find(handle);
        return it == objects_.end() ? nullptr : it->second;
    }

    // Takes the object out of the table; empty when the handle is unknown.
    std::shared_ptr<T> Remove(int32_t handle) {
        std::lock_guard lock(mu_);
        auto it = objects_.find(handle);
        if (it == objects_.end()) return nullptr;
        std::shared_ptr<T> object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

    // Empties the table and returns what it held, so the caller can end the objects outside
    // the table's lock.
    std::vector<std::shared_ptr<T>> TakeAll() {
        std::lock_guard lock(mu_);
        std::vector<std::shared_ptr<T>> all;
        all.reserve(objects_.size());
        for (auto& [h, object] : objects_) all.push_back(std::move(object));
        objects_.clear();
        return all;
    }

    size_t size() const {
        std::lock_guard lock(mu_);
        return objects_.size();
    }

private:
    int32_t After(int32_t h) const { return h >= max_ ? 1 : h + 1; }

    mutable std::mutex mu_;
    std::map<int32_t, std::shared_ptr<T>> objects_;
    const int32_t max_;
    int32_t next_ = 1;
};

}  // namespace qm::platform
