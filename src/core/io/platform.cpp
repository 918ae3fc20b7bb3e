#include "platform.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
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
    for (;;) {
        const ssize_t put = ::write(m_fd, record.constData(), size_t(record.size()));
        if (put == record.size())
            return true;
        if (put >= 0 || errno != EINTR)
            return false;
    }
}

std::optional<RuntimeError> writeFileAtomically(const QString& path, const QByteArray& bytes) {
    // Through a link to the file it names, so a linked address book stays linked.
    const QFileInfo info(path);
    const QString target = info.isSymLink() && info.exists() ? info.canonicalFilePath() : path;
    const QByteArray native = QFile::encodeName(target);
    struct stat st {};
    const bool exists = ::lstat(native.constData(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return RuntimeError::pathFileAccessError();

    QByteArray tmpl = native + ".XXXXXX";
    Fd f;
    f.fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (f.fd < 0)
        return runtimeErrorForOpen(target, errno);

    auto fail = [&](int err) {
        ::unlink(tmpl.constData());
        return std::optional<RuntimeError>(runtimeErrorForWrite(err));
    };

    // Keep the mode of the file being replaced; a new file gets the usual 0666 less umask.
    mode_t mode;
    if (exists) {
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
    const int fd = std::exchange(f.fd, -1);
    if (::close(fd) != 0)
        return fail(errno);
    if (::rename(tmpl.constData(), native.constData()) != 0)
        return fail(errno);
    return std::nullopt;
}

bool isRegularFileOrAbsent(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

bool isSameFile(const QString& a, const QString& b) {
    struct stat sa {
    }, sb{};
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0 ||
        ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

namespace {
// Written by the signal handler, read by the event loop.
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signalsSeen = 0;
volatile sig_atomic_t g_secondEndsAtOnce = 0;

extern "C" void onTerminationSignal(int signalNumber) {
    if (g_signalsSeen && g_secondEndsAtOnce)
        ::_exit(128 + signalNumber);
    g_signalsSeen = 1;
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
