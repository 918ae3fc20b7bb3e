#include "text_file.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};
} // namespace

std::variant<QByteArray, RuntimeError> readWholeFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return RuntimeError::fileNotFound();
    Fd f;
    f.fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (f.fd < 0)
        return runtimeErrorForOpen(path, errno);
    QByteArray data;
    char buf[65536];
    for (;;) {
        const ssize_t got = ::read(f.fd, buf, sizeof buf);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno == EISDIR ? RuntimeError::pathFileAccessError() : RuntimeError::deviceIoError();
        }
        data.append(buf, got);
    }
    return data;
}

std::optional<RuntimeError> writeFileAtomically(const QString& path, const QByteArray& bytes) {
    const QByteArray native = QFile::encodeName(path);
    QByteArray tmpl = native + ".XXXXXX";
    Fd f;
    f.fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (f.fd < 0)
        return runtimeErrorForOpen(path, errno);

    auto fail = [&](int err) {
        ::unlink(tmpl.constData());
        return std::optional<RuntimeError>(runtimeErrorForWrite(err));
    };

    // Keep the mode of the file being replaced; a new file gets the usual 0666 less umask.
    struct stat st {};
    mode_t mode;
    if (::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(f.fd, mode) != 0)
        return fail(errno);

    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(f.fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        done += put;
    }
    if (::fsync(f.fd) != 0)
        return fail(errno);
    const int fd = f.fd;
    f.fd = -1;
    if (::close(fd) != 0)
        return fail(errno);
    if (::rename(tmpl.constData(), native.constData()) != 0)
        return fail(errno);
    return std::nullopt;
}
