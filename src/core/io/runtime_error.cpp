#include "runtime_error.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>

RuntimeError runtimeErrorForOpen(const QString& path, int sysError) {
    switch (sysError) {
    case ENOENT: {
        const QFileInfo info(path);
        return info.absoluteDir().exists() ? RuntimeError::fileNotFound() : RuntimeError::pathNotFound();
    }
    case ENOTDIR:
        return RuntimeError::pathNotFound();
    case EACCES:
    case EPERM:
    case EROFS:
        return RuntimeError::permissionDenied();
    case ENOSPC:
        return RuntimeError::diskFull();
    case EIO:
        return RuntimeError::deviceIoError();
    default:
        return RuntimeError::pathFileAccessError();
    }
}

RuntimeError runtimeErrorForWrite(int sysError) {
    switch (sysError) {
    case ENOSPC:
    case EDQUOT:
        return RuntimeError::diskFull();
    case EACCES:
    case EPERM:
    case EROFS:
        return RuntimeError::permissionDenied();
    case EISDIR:
    case EBUSY:
        return RuntimeError::pathFileAccessError();
    default:
        return RuntimeError::deviceIoError();
    }
}
