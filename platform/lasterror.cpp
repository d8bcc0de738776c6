#include "platform/lasterror.h"

#include <cerrno>

namespace orvex {

namespace {
thread_local uint32_t LastError = ERROR_SUCCESS;
}

uint32_t GetLastError() {
    return LastError;
}
void SetLastError(uint32_t error) {
    LastError = error;
}

uint32_t ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENAMETOOLONG:
            return ERROR_INVALID_NAME;
        case ENOTTY:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case EIO:
        case EPIPE:
        case ESHUTDOWN:
            return ERROR_DEVICE_NOT_CONNECTED;
        case ECANCELED:
        case EINTR:
            return ERROR_OPERATION_ABORTED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace orvex
