// The shape of every export: "[IN]" line, the body, "[OUT]"/"[ER_OUT]" line, and no exception
// crossing the C border (one becomes the failure result).
#pragma once

#include <exception>
#include <new>

#include "core.h"

namespace qm::ntfdb {

// Results that are answers rather than failures.
inline bool IsAnswer(int r) {
    return r >= 0 || r == -3 || r == -31 || r == -300 || r == -301;
}

template <typename Body>
int Export(const char* name, Body&& body) {
    NTF_TRACE("QNTFDB: %s[IN]", name);
    int r = -1;
    try {
        r = body();
    } catch (const std::exception& e) {
        NTF_ERROR("QNTFDB: %s[ER_OUT] exception: %s", name, e.what());
        return -1;
    } catch (...) {
        NTF_ERROR("QNTFDB: %s[ER_OUT] exception", name);
        return -1;
    }
    if (IsAnswer(r)) NTF_TRACE("QNTFDB: %s[OUT] Ret=%d", name, r);
    else NTF_ERROR("QNTFDB: %s[ER_OUT] nRet=%d", name, r);
    return r;
}

}  // namespace qm::ntfdb
