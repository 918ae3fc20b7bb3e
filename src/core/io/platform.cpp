#include "platform.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/resource.h>
#include <sys/socket.h>
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

std::variant<InputFile, RuntimeError> InputFile::open(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return RuntimeError::fileNotFound();
    // Non-blocking, so a FIFO with no writer does not hold the caller; checked before any read.
    Fd f;
    f.fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (f.fd < 0)
        return runtimeErrorForOpen(path, errno);
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return RuntimeError::pathFileAccessError();
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

std::variant<QByteArray, RuntimeError> readSmallFile(const QString& path, qsizetype maxBytes) {
    auto opened = InputFile::open(path);
    if (auto* error = std::get_if<RuntimeError>(&opened))
        return *error;
    QByteArray data(maxBytes + 1, Qt::Uninitialized);
    qsizetype size = 0;
    for (qsizetype got = 1; got > 0 && size <= maxBytes; size += got) {
        got = std::get<InputFile>(opened).read(data.data() + size, data.size() - size);
        if (got < 0)
            return RuntimeError::deviceIoError();
    }
    if (size > maxBytes)
        return RuntimeError::outOfMemory();
    data.truncate(size);
    return data;
}

AppendFile::~AppendFile() {
    if (m_own && m_fd >= 0)
        ::close(m_fd);
}

std::optional<QString> AppendFile::open(const QString& path) {
    if (path == QLatin1String("-")) {
        m_fd = STDOUT_FILENO;
        return std::nullopt;
    }
    Fd f;
    f.fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK,
                  0666);
    if (f.fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return QStringLiteral("not a regular file");
    m_fd = std::exchange(f.fd, -1);
    m_own = true;
    return std::nullopt;
}

bool AppendFile::append(const QByteArray& record) {
    ssize_t put;
    do
        put = ::write(m_fd, record.constData(), size_t(record.size()));
    while (put < 0 && errno == EINTR);
    if (put == record.size())
        return true;
    // Half a record (a full disk) would glue onto the next run's first one: cut the file back
    // to where this record began, unless someone else has appended since.
    struct stat st {};
    const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
    if (put > 0 && end >= put && ::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == end)
        (void)::ftruncate(m_fd, end - put);
    return false;
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
std::optional<RuntimeError> writeThroughRename(const QByteArray& native, const QString& path,
                                               const QByteArray& bytes, mode_t mode, gid_t group,
                                               bool* groupRefused = nullptr) {
    QByteArray tmpl = native + ".XXXXXX";
    Fd f;
    f.fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (f.fd < 0)
        return runtimeErrorForOpen(path, errno);
    const auto fail = [&](int err) {
        ::unlink(tmpl.constData());
        return std::optional<RuntimeError>(runtimeErrorForWrite(err));
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
    return std::nullopt;
}

// Truncates the regular file `native` and writes `bytes` into it: its inode, links, mode and
// owner stay.
std::optional<RuntimeError> writeInPlace(const QByteArray& native, const QString& path,
                                         const QByteArray& bytes) {
    Fd f;
    f.fd = ::open(native.constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (f.fd < 0)
        return runtimeErrorForOpen(path, errno);
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return RuntimeError::pathFileAccessError();
    if (::ftruncate(f.fd, 0) != 0)
        return runtimeErrorForWrite(errno);
    if (const int err = writeAll(f.fd, bytes))
        return runtimeErrorForWrite(err);
    if (::fsync(f.fd) != 0 || ::close(std::exchange(f.fd, -1)) != 0)
        return runtimeErrorForWrite(errno);
    return std::nullopt;
}
} // namespace

std::optional<RuntimeError> saveFile(const QString& path, const QByteArray& bytes) {
    // Through a link to the file it names, so a linked address book stays linked.
    const QFileInfo info(path);
    const QString target = info.isSymLink() && info.exists() ? info.canonicalFilePath() : path;
    const QByteArray native = QFile::encodeName(target);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0)
        return writeThroughRename(native, target, bytes, newFileMode(), gid_t(-1));
    if (!S_ISREG(st.st_mode))
        return RuntimeError::pathFileAccessError();
    // A rename makes a new file: it would part a second hard link from the list, give another
    // user's file to us, and needs a folder we may write.
    const QByteArray folder = QFile::encodeName(QFileInfo(target).absolutePath());
    const bool renameKeepsIdentity =
        st.st_nlink == 1 && st.st_uid == ::geteuid() && ::access(folder.constData(), W_OK) == 0;
    if (renameKeepsIdentity) {
        bool groupRefused = false;
        const gid_t group = st.st_gid == ::getegid() ? gid_t(-1) : st.st_gid;
        auto failure = writeThroughRename(native, target, bytes, st.st_mode & 07777, group, &groupRefused);
        if (!groupRefused)
            return failure;
    }
    return writeInPlace(native, target, bytes);
}

std::optional<RuntimeError> replaceFile(const QString& path, const QByteArray& bytes) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    const bool exists = ::lstat(native.constData(), &st) == 0;
    // A device node, FIFO or folder there is somebody else's: left alone.
    if (exists && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return RuntimeError::pathFileAccessError();
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
    for (int hops = 0; hops < 8; ++hops) {
        const QFileInfo info(path);
        if (!info.isSymLink())
            break;
        path = info.symLinkTarget();
    }
    const QFileInfo info(path);
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

namespace {
// Written by the signal handler, read by the event loop.
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signalsSeen = 0; // the number of the first signal, 0 before one came
volatile sig_atomic_t g_secondEndsAtOnce = 0;

extern "C" void onTerminationSignal(int signalNumber) {
    if (g_signalsSeen && g_secondEndsAtOnce)
        ::_exit(128 + signalNumber);
    if (!g_signalsSeen)
        g_signalsSeen = signalNumber;
    const int savedErrno = errno; // the interrupted code may be about to read it
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[0], &byte, 1);
    errno = savedErrno;
}
} // namespace

TerminationSignals::TerminationSignals(bool secondEndsAtOnce, QObject* parent) : QObject(parent) {
    g_secondEndsAtOnce = secondEndsAtOnce;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_installed = ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(g_signalPipe[1], &byte, 1) == 1)
            emit received(int(byte));
    });
}

int TerminationSignals::seen() {
    return g_signalsSeen;
}

void ignoreBrokenPipes() {
    ::signal(SIGPIPE, SIG_IGN);
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
