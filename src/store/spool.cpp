#include "store/spool.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

Failure spoolFailure(const QString& path, int error) {
    return Failure{error == ENOSPC ? Failure::Cause::DiskFull : Failure::Cause::DeviceIo,
                   QStringLiteral("spool %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)))};
}

// The spool file opened and locked for this process alone; closed (and unlocked) on leaving.
class LockedFile {
public:
    LockedFile(const QString& path, bool create) {
        const QByteArray name = QFile::encodeName(path);
        // A delivery replaces the file by a rename: whoever waited for the lock of the file it
        // replaced opens the one now there.
        for (;;) {
            // O_NOFOLLOW: a link planted at the spool's name is never written through.
            m_fd = ::open(name.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
            if (m_fd < 0) {
                m_error = errno;
                return;
            }
            struct stat st {};
            if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                m_error = EINVAL;
                return;
            }
            while (::flock(m_fd, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    m_error = errno;
                    return;
                }
            }
            struct stat now {};
            if (::stat(name.constData(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev)
                return;
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~LockedFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    [[nodiscard]] int fd() const { return m_error ? -1 : m_fd; }
    [[nodiscard]] int error() const { return m_error; }

private:
    int m_fd = -1;
    int m_error = 0;
};

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// What stays (entries not delivered yet, lines that are no entry) replaces the spool whole: written
// beside it and renamed over it, so a crash leaves the old file or the new one.
Result<void> keepOnly(const QString& path, int fd, const QList<QByteArray>& kept) {
    if (kept.isEmpty())
        return ::ftruncate(fd, 0) == 0 && ::fsync(fd) == 0 ? success()
                                                           : Result<void>(spoolFailure(path, errno));
    QByteArray rest;
    for (const QByteArray& line : kept)
        rest += line + '\n';
    const QByteArray temporary = QFile::encodeName(path + QStringLiteral(".new"));
    const int out =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    const bool written = out >= 0 && writeAll(out, rest) && ::fsync(out) == 0;
    const int error = errno;
    if (out >= 0)
        ::close(out);
    if (!written || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        const int failed = written ? errno : error;
        (void)::unlink(temporary.constData());
        return spoolFailure(path, failed);
    }
    return success();
}

} // namespace

QString Spool::pathFor(const StoreLocation& where, const QString& kind) {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    const QByteArray name =
        QCryptographicHash::hash(where.shown().toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("%1/velta/spool-%2-%3.jsonl").arg(state, kind, QString::fromLatin1(name.left(16)));
}

Result<void> Spool::append(const QJsonObject& entry) const {
    const QString folder = QFileInfo(m_path).path();
    if (!QDir().mkpath(folder))
        return Failure{Failure::Cause::PathNotFound,
                       QStringLiteral("spool %1: cannot make its folder").arg(m_path)};
    (void)::chmod(QFile::encodeName(folder).constData(), 0700);
    LockedFile file(m_path, true);
    if (file.fd() < 0)
        return spoolFailure(m_path, file.error());
    const off_t end = ::lseek(file.fd(), 0, SEEK_END);
    const QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
    if (end < 0 || !writeAll(file.fd(), line) || ::fsync(file.fd()) != 0) {
        const int error = errno;
        // Half an entry would glue onto the next one.
        if (end >= 0)
            (void)::ftruncate(file.fd(), end);
        return spoolFailure(m_path, error);
    }
    return success();
}

Result<int> Spool::deliver(const std::function<Result<void>(const QJsonObject&)>& deliver) const {
    if (!QFileInfo::exists(m_path))
        return 0;
    LockedFile file(m_path, false);
    if (file.fd() < 0)
        return file.error() == ENOENT ? Result<int>(0) : Result<int>(spoolFailure(m_path, file.error()));
    QByteArray all;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::pread(file.fd(), buffer, sizeof buffer, off_t(all.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return spoolFailure(m_path, errno);
        if (n == 0)
            break;
        all.append(buffer, n);
    }
    QList<QByteArray> kept;
    int delivered = 0;
    Result<void> stopped = success();
    for (const QByteArray& line : all.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        const QJsonDocument entry = QJsonDocument::fromJson(line);
        // An entry that is no JSON object is kept for a person to read, never dropped.
        if (!stopped || !entry.isObject()) {
            kept << line;
            continue;
        }
        stopped = deliver(entry.object());
        if (stopped)
            ++delivered;
        else
            kept << line;
    }
    if (delivered > 0) {
        if (auto replaced = keepOnly(m_path, file.fd(), kept); !replaced)
            return replaced.failure();
    }
    if (!stopped)
        return stopped.failure();
    return delivered;
}
