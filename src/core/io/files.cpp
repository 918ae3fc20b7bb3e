#include "core/io/files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

QString systemReason(int sysError) {
    return QString::fromLocal8Bit(std::strerror(sysError));
}

// Why opening `path` failed; `sysError` is the errno captured right after the failure.
Failure failureOfOpen(const QString& path, int sysError) {
    switch (sysError) {
    case ENOENT:
        return {QFileInfo(path).absoluteDir().exists() ? Failure::Cause::FileNotFound
                                                       : Failure::Cause::PathNotFound,
                systemReason(sysError)};
    case ENOTDIR:
        return {Failure::Cause::PathNotFound, systemReason(sysError)};
    case EACCES:
    case EPERM:
    case EROFS:
        return {Failure::Cause::PermissionDenied, systemReason(sysError)};
    case ENOSPC:
    case EDQUOT:
        return {Failure::Cause::DiskFull, systemReason(sysError)};
    case EIO:
        return {Failure::Cause::DeviceIo, systemReason(sysError)};
    default:
        return {Failure::Cause::NotRegularFile, systemReason(sysError)};
    }
}

// Why a read, write or commit failed (disk full, I/O error...).
Failure failureOfWrite(int sysError) {
    switch (sysError) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return {Failure::Cause::DiskFull, systemReason(sysError)};
    case EACCES:
    case EPERM:
    case EROFS:
        return {Failure::Cause::PermissionDenied, systemReason(sysError)};
    case EISDIR:
    case EBUSY:
        return {Failure::Cause::NotRegularFile, systemReason(sysError)};
    default:
        return {Failure::Cause::DeviceIo, systemReason(sysError)};
    }
}
} // namespace

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

InputFile::~InputFile() {
    if (m_fd >= 0)
        ::close(m_fd);
}

Result<InputFile> InputFile::open(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return Failure{Failure::Cause::FileNotFound, QStringLiteral("empty name")};
    // Non-blocking, so a FIFO with no writer does not hold the caller; checked before any read.
    Fd f;
    f.fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (f.fd < 0)
        return failureOfOpen(path, errno);
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Failure{Failure::Cause::NotRegularFile, QStringLiteral("not a regular file")};
    InputFile file;
    file.m_fd = std::exchange(f.fd, -1);
    return file;
}

qsizetype InputFile::read(char* buffer, qsizetype capacity) {
    if (m_fd < 0)
        return -1;
    for (;;) {
        const ssize_t got = ::read(m_fd, buffer, size_t(capacity));
        if (got >= 0)
            return qsizetype(got);
        if (errno != EINTR)
            return -1;
    }
}

Result<QByteArray> readSmallFile(const QString& path, qsizetype maxBytes) {
    auto opened = InputFile::open(path);
    if (!opened)
        return opened.failure();
    QByteArray data(maxBytes + 1, Qt::Uninitialized);
    qsizetype size = 0;
    for (qsizetype got = 1; got > 0 && size <= maxBytes; size += got) {
        got = opened->read(data.data() + size, data.size() - size);
        if (got < 0)
            return failureOfWrite(errno);
    }
    if (size > maxBytes)
        return Failure{Failure::Cause::TooLong, QStringLiteral("larger than %1 bytes").arg(maxBytes)};
    data.truncate(size);
    return data;
}

AppendFile::~AppendFile() {
    if (m_own && m_fd >= 0)
        ::close(m_fd);
}

Result<void> AppendFile::open(const QString& path) {
    if (path == QLatin1String("-")) {
        m_fd = STDOUT_FILENO;
        return success();
    }
    Fd f;
    f.fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK,
                  0666);
    if (f.fd < 0)
        return failureOfOpen(path, errno);
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Failure{Failure::Cause::NotRegularFile, QStringLiteral("not a regular file")};
    m_fd = std::exchange(f.fd, -1);
    m_own = true;
    return success();
}

Result<void> AppendFile::append(const QByteArray& record) {
    // A write cut short is followed by one of the rest, which fails with the reason (a full
    // disk, a file size limit...) or, rarely, completes the record.
    qsizetype put = 0;
    int error = 0;
    while (put < record.size() && error == 0) {
        const ssize_t n = ::write(m_fd, record.constData() + put, size_t(record.size() - put));
        if (n > 0)
            put += n;
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? ENOSPC : errno;
    }
    if (put == record.size())
        return success();
    const Failure failure = failureOfWrite(error);
    // Half a record (a full disk) would glue onto the next run's first one: cut the file back
    // to where this record began, unless someone else has appended since.
    struct stat st {};
    const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
    if (put > 0 && end >= put && ::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == end)
        (void)::ftruncate(m_fd, end - put);
    return failure;
}

namespace {
// Writes all of `bytes` to `fd`; the error number of the failure, 0 when all went.
int writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : ENOSPC;
        done += put;
    }
    return 0;
}

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// A temporary file beside `native` with `bytes`, mode and group as given, renamed over `native`.
// `-1` for the group keeps ours. EPERM from the group change means the caller must not go on
// this way: nothing has been replaced then.
Result<void> writeThroughRename(const QByteArray& native, const QString& path, const QByteArray& bytes,
                                mode_t mode, gid_t group, bool* groupRefused = nullptr) {
    QByteArray tmpl = native + ".XXXXXX";
    Fd f;
    f.fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (f.fd < 0)
        return failureOfOpen(path, errno);
    const auto fail = [&](int err) {
        ::unlink(tmpl.constData());
        return Result<void>(failureOfWrite(err));
    };
    if (group != gid_t(-1) && ::fchown(f.fd, uid_t(-1), group) != 0) {
        if (groupRefused)
            *groupRefused = true;
        return fail(errno);
    }
    if (::fchmod(f.fd, mode) != 0)
        return fail(errno);
    if (const int err = writeAll(f.fd, bytes))
        return fail(err);
    if (::fsync(f.fd) != 0)
        return fail(errno);
    if (::close(std::exchange(f.fd, -1)) != 0)
        return fail(errno);
    if (::rename(tmpl.constData(), native.constData()) != 0)
        return fail(errno);
    return success();
}

// Writes `bytes` over the regular file open in `f`: its inode, links, mode and owner stay. The room
// for them is taken first and the old content is cut only after them, so a full disk fails the
// save before a byte of the old content is lost.
Result<void> writeInPlace(Fd& f, const QByteArray& bytes) {
    // A file system without the call has the room taken as the bytes are written.
    if (const int err = bytes.isEmpty() ? 0 : ::posix_fallocate(f.fd, 0, off_t(bytes.size()));
        err != 0 && err != EOPNOTSUPP)
        return failureOfWrite(err);
    if (const int err = writeAll(f.fd, bytes))
        return failureOfWrite(err);
    if (::ftruncate(f.fd, off_t(bytes.size())) != 0 || ::fsync(f.fd) != 0 ||
        ::close(std::exchange(f.fd, -1)) != 0)
        return failureOfWrite(errno);
    return success();
}

// The kernel's own limit on the links one name may lead through.
constexpr int MaxLinkHops = 40;

// Where the links at `path` end (`path` itself when it is no link): the file a save through them
// writes, or makes when nothing is there yet.
QString linkEnd(QString path) {
    for (int hops = 0; hops < MaxLinkHops && QFileInfo(path).isSymLink(); ++hops)
        path = QFileInfo(path).symLinkTarget();
    return path;
}
} // namespace

Result<void> saveFile(const QString& path, const QByteArray& bytes) {
    // Through a link to the file it names, or makes it there, so a linked address book stays linked.
    const QString target = linkEnd(path);
    const QByteArray native = QFile::encodeName(target);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0)
        return writeThroughRename(native, target, bytes, newFileMode(), gid_t(-1));
    if (!S_ISREG(st.st_mode))
        return Failure{Failure::Cause::NotRegularFile, QStringLiteral("not a regular file")};
    // Opened for writing whichever way it is then written: a book the operator may not write (its
    // mode, a read-only mount) fails here and stays as it is, though its folder would take a rename.
    Fd f;
    f.fd = ::open(native.constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (f.fd < 0)
        return failureOfOpen(target, errno);
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Failure{Failure::Cause::NotRegularFile, QStringLiteral("not a regular file")};
    // A rename makes a new file: it would part a second hard link from the list, give another
    // user's file to us, and needs a folder we may write (as the rename would: effective ids).
    const QByteArray folder = QFile::encodeName(QFileInfo(target).absolutePath());
    const bool renameKeepsIdentity = st.st_nlink == 1 && st.st_uid == ::geteuid() &&
                                     ::faccessat(AT_FDCWD, folder.constData(), W_OK, AT_EACCESS) == 0;
    if (renameKeepsIdentity) {
        bool groupRefused = false;
        const gid_t group = st.st_gid == ::getegid() ? gid_t(-1) : st.st_gid;
        auto saved = writeThroughRename(native, target, bytes, st.st_mode & 07777, group, &groupRefused);
        if (!groupRefused)
            return saved;
    }
    return writeInPlace(f, bytes);
}

Result<void> checkSavable(const QString& path) {
    const QString target = linkEnd(path);
    const QByteArray native = QFile::encodeName(target);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        const QByteArray folder = QFile::encodeName(QFileInfo(target).absolutePath());
        if (::faccessat(AT_FDCWD, folder.constData(), W_OK | X_OK, AT_EACCESS) != 0)
            return failureOfOpen(target, errno);
        return success();
    }
    if (!S_ISREG(st.st_mode))
        return Failure{Failure::Cause::NotRegularFile, QStringLiteral("not a regular file")};
    Fd f;
    f.fd = ::open(native.constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (f.fd < 0)
        return failureOfOpen(target, errno);
    return success();
}

Result<void> replaceFile(const QString& path, const QByteArray& bytes) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    const bool exists = ::lstat(native.constData(), &st) == 0;
    // A device node, FIFO or folder there is somebody else's: left alone.
    if (exists && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return Failure{Failure::Cause::NotRegularFile, QStringLiteral("not a regular file")};
    const bool regular = exists && S_ISREG(st.st_mode);
    return writeThroughRename(native, path, bytes, regular ? st.st_mode & 07777 : newFileMode(), gid_t(-1));
}

bool isRegularFileOrAbsent(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

namespace {
// Where a file that does not exist yet would be made: its folder's identity and its name, through
// dangling links.
std::optional<std::tuple<dev_t, ino_t, QString>> placeOf(QString path) {
    const QFileInfo info(linkEnd(std::move(path)));
    struct stat folder {};
    if (::stat(QFile::encodeName(info.absolutePath()).constData(), &folder) != 0)
        return std::nullopt;
    return std::tuple(folder.st_dev, folder.st_ino, info.fileName());
}
} // namespace

bool isSameFile(const QString& a, const QString& b) {
    struct stat sa {
    }, sb{};
    const bool aExists = ::stat(QFile::encodeName(a).constData(), &sa) == 0;
    const bool bExists = ::stat(QFile::encodeName(b).constData(), &sb) == 0;
    if (aExists && bExists)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (aExists || bExists)
        return false;
    const auto placeA = placeOf(a);
    return placeA && placeA == placeOf(b);
}

int openFileLimit() {
    // Raised once to what the system allows: a run over thousands of devices holds a socket each.
    static const int limit = [] {
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) != 0)
            return 1024;
        if (files.rlim_cur < files.rlim_max) {
            rlimit raised = files;
            raised.rlim_cur = files.rlim_max;
            if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
                files = raised;
        }
        return files.rlim_cur > rlim_t(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                        : int(files.rlim_cur);
    }();
    return limit;
}
