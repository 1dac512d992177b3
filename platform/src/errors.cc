// errno → Windows error numbers, in one table so every module reports failures alike.
#include "qm/platform/errors.h"

#include <cerrno>

namespace qm::platform {

int WinErrorFromErrno(int err) {
    switch (err) {
        case 0: return kOk;
        case ENOENT: return kErrFileNotFound;
        case ENOTDIR: return kErrPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS: return kErrAccessDenied;
        case EBADF: return kErrInvalidHandle;
        case ENOMEM: return kErrNotEnoughMemory;
        case EINVAL: return kErrInvalidParameter;
        case ENAMETOOLONG: return kErrInvalidName;
        case EEXIST: return kErrAlreadyExists;
        case EPIPE:
        case ECONNREFUSED: return kErrNoData;
        case ETIMEDOUT: return kWaitTimeout;
        default: return kErrGenFailure;
    }
}

int WsaErrorFromErrno(int err) {
    switch (err) {
        case 0: return kOk;
        case EINTR: return kWsaEintr;
        case EACCES:
        case EPERM: return kWsaEacces;
        case EINVAL: return kWsaEinval;
        case EAGAIN: return kWsaEwouldblock;
        case EMSGSIZE: return kWsaEmsgsize;
        case EADDRINUSE: return kWsaEaddrinuse;
        case EADDRNOTAVAIL: return kWsaEaddrnotavail;
        case ENETUNREACH: return kWsaEnetunreach;
        case ECONNRESET: return kWsaEconnreset;
        case ETIMEDOUT: return kWsaEtimedout;
        case ECONNREFUSED: return kWsaEconnrefused;
        case EHOSTUNREACH: return kWsaEhostunreach;
        default: return 10000 + (err > 0 && err < 1000 ? err : 0);
    }
}

}  // namespace qm::platform
