#include "ui/singleinstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace veltrin {

namespace {

const QByteArray kHeader = QByteArrayLiteral("veltrin-ping open 1");
const QByteArray kTaken = QByteArrayLiteral("ok\n");
// A client that sends nothing (or dribbles) is dropped after this long.
constexpr int kClientLimitMs = 5000;
// One path line, percent-encoded: PATH_MAX bytes at three characters each, with room.
constexpr int kMaxLineBytes = 3 * 4096 + 16;

}  // namespace

QString InstanceSocketName() {
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) return runtime + QStringLiteral("/veltrin-ping.socket");
    return QDir::tempPath() + QStringLiteral("/veltrin-ping-%1.socket").arg(::getuid());
}

QByteArray EncodeHandOver(const QStringList& files) {
    QByteArray out = kHeader + '\n';
    for (const QString& file : files) out += QUrl::toPercentEncoding(file, "/") + '\n';
    out += '\n';
    return out;
}

bool DecodeHandOver(const QByteArray& bytes, QStringList& files, bool& broken) {
    files.clear();
    broken = false;
    if (bytes.size() > kMaxHandOverBytes) {
        broken = true;
        return false;
    }
    qsizetype at = 0;
    bool header = true;
    while (true) {
        const qsizetype end = bytes.indexOf('\n', at);
        if (end < 0) {
            // An unfinished line: wait for more, unless it is already longer than any we send.
            broken = bytes.size() - at > (header ? kHeader.size() : kMaxLineBytes);
            files.clear();
            return false;
        }
        const QByteArray line = bytes.mid(at, end - at);
        at = end + 1;
        if (header) {
            if (line != kHeader) {
                broken = true;
                return false;
            }
            header = false;
            continue;
        }
        if (line.isEmpty()) {
            // The end; nothing may follow it.
            if (at == bytes.size()) return true;
            broken = true;
            files.clear();
            return false;
        }
        if (line.size() > kMaxLineBytes || files.size() >= kMaxHandOverFiles) {
            broken = true;
            files.clear();
            return false;
        }
        const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(line));
        // Absolute paths only, and no NUL that would cut the name short where it is opened.
        if (!path.startsWith(QLatin1Char('/')) || path.contains(QChar(0))) {
            broken = true;
            files.clear();
            return false;
        }
        files << path;
    }
}

namespace {

// The socket's address; false when the path does not fit (it is then never listened on nor
// found, as with any other socket that cannot be reached).
bool SocketAddress(const QString& name, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(name);
    if (bytes.isEmpty() || bytes.size() >= static_cast<qsizetype>(sizeof address.sun_path)) return false;
    std::memcpy(address.sun_path, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

int NewSocket() {
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// Waits for `events` on `fd` until `deadline`; false when the time ran out or the wait failed.
bool WaitFor(int fd, short events, const QDeadlineTimer& deadline) {
    while (true) {
        pollfd p{fd, events, 0};
        const int ms = static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 0, 60'000));
        const int n = ::poll(&p, 1, ms);
        if (n > 0) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

enum class Connect { Connected, Nobody, Busy };

// Connects `fd` to `address`. A listener whose queue is full answers EAGAIN: tried again until
// the deadline (Busy), as a program that is alive but stuck must not be taken for a crashed one.
Connect ConnectBefore(int fd, const sockaddr_un& address, const QDeadlineTimer& deadline) {
    while (true) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return Connect::Connected;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EINPROGRESS) return Connect::Nobody;  // refused, no file, no right
        if (deadline.hasExpired()) return Connect::Busy;
        ::usleep(static_cast<useconds_t>(std::min<qint64>(10'000, std::max<qint64>(1, deadline.remainingTime()) * 1000)));
    }
}

// Whether a program listens on `name` (connects within `timeoutms`).
bool SomeoneListens(const QString& name, int timeoutms) {
    sockaddr_un address;
    if (!SocketAddress(name, address)) return false;
    const int fd = NewSocket();
    if (fd < 0) return false;
    const Connect result = ConnectBefore(fd, address, QDeadlineTimer(timeoutms));
    ::close(fd);
    return result != Connect::Nobody;
}

}  // namespace

// Plain local sockets rather than Qt's network module: the window program would otherwise load
// that module and its Kerberos, proxy and resolver libraries (eleven shared libraries) at every
// start for this one socket.
HandOverResult HandToRunningInstance(const QString& name, const QStringList& files, int timeoutms) {
    sockaddr_un address;
    if (!SocketAddress(name, address)) return HandOverResult::NoInstance;
    const int fd = NewSocket();
    if (fd < 0) return HandOverResult::NoInstance;
    const QDeadlineTimer deadline(timeoutms);
    switch (ConnectBefore(fd, address, deadline)) {
        case Connect::Nobody:
            // Refused or no such file: nobody is there (a crashed program's file counts as nobody).
            ::close(fd);
            return HandOverResult::NoInstance;
        case Connect::Busy:
            ::close(fd);
            return HandOverResult::NoAnswer;
        case Connect::Connected:
            break;
    }
    const QByteArray message = EncodeHandOver(files);
    qsizetype sent = 0;
    while (sent < message.size()) {
        const ssize_t n = ::send(fd, message.constData() + sent, static_cast<std::size_t>(message.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN && WaitFor(fd, POLLOUT, deadline)) {
            continue;
        } else {
            ::close(fd);
            return HandOverResult::NoAnswer;
        }
    }
    QByteArray reply;
    while (!reply.contains('\n') && reply.size() < 64) {
        char bytes[64];
        const ssize_t n = ::recv(fd, bytes, sizeof bytes - static_cast<std::size_t>(reply.size()), 0);
        if (n > 0) {
            reply.append(bytes, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN && WaitFor(fd, POLLIN, deadline)) {
            continue;
        } else {
            break;  // closed, failed or out of time
        }
    }
    ::close(fd);
    return reply.startsWith(kTaken) ? HandOverResult::Taken : HandOverResult::NoAnswer;
}

// One later start's connection: what it sent so far, dropped after kClientLimitMs.
class InstanceServer::Client : public QObject {
  public:
    Client(int fd, InstanceServer* server) : QObject(server), fd_(fd), server_(server) {
        notifier_ = new QSocketNotifier(static_cast<qintptr>(fd_), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &Client::Read);
        auto* limit = new QTimer(this);
        limit->setSingleShot(true);
        connect(limit, &QTimer::timeout, this, &Client::Drop);
        limit->start(kClientLimitMs);
    }
    ~Client() override {
        delete notifier_;
        if (fd_ >= 0) ::close(fd_);
    }

  private:
    void Read() {
        if (fd_ < 0) return;
        while (buffer_.size() <= kMaxHandOverBytes) {
            char bytes[4096];
            const qsizetype room = std::min<qsizetype>(sizeof bytes, kMaxHandOverBytes + 1 - buffer_.size());
            const ssize_t n = ::recv(fd_, bytes, static_cast<std::size_t>(room), 0);
            if (n > 0) {
                buffer_.append(bytes, n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            Drop();  // the client went away (or the read failed) before it finished
            return;
        }
        QStringList files;
        bool broken = false;
        if (DecodeHandOver(buffer_, files, broken)) {
            // Three bytes into an empty socket buffer: never blocks, never short.
            [[maybe_unused]] const ssize_t n = ::send(fd_, kTaken.constData(), static_cast<std::size_t>(kTaken.size()), MSG_NOSIGNAL);
            QPointer<InstanceServer> server = server_;
            Drop();
            if (server) emit server->filesArrived(files);
        } else if (broken) {
            Drop();
        }
    }
    void Drop() {
        if (fd_ < 0) return;
        notifier_->setEnabled(false);
        ::close(fd_);
        fd_ = -1;
        deleteLater();
    }

    int fd_;
    InstanceServer* server_;
    QSocketNotifier* notifier_ = nullptr;
    QByteArray buffer_;
};

InstanceServer::InstanceServer(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {}

InstanceServer::~InstanceServer() {
    Close();
}

void InstanceServer::Close() {
    if (fd_ < 0) return;
    delete notifier_;
    notifier_ = nullptr;
    ::close(fd_);
    fd_ = -1;
    ::unlink(QFile::encodeName(name_).constData());  // ours: nobody else listened on it
}

bool InstanceServer::Listen() {
    if (fd_ >= 0) return true;
    sockaddr_un address;
    if (!SocketAddress(name_, address)) return false;
    if (QFileInfo::exists(name_) || QFileInfo(name_).isSymLink()) {
        // Listening would quietly put a new socket file in place of one that is there, so the
        // file is only replaced when nobody answers on it: a crash leaves one behind.
        if (SomeoneListens(name_, 1000)) return false;
        ::unlink(address.sun_path);
    }
    // The socket file is the user's own: nobody else may hand us files. It is made in a folder
    // only the user can enter, narrowed to the user and only then moved to its name, so there
    // is no moment at which another user could connect.
    const QFileInfo target(name_);
    QByteArray folder = QFile::encodeName(target.absolutePath() + QStringLiteral("/.vp-XXXXXX"));
    if (::mkdtemp(folder.data()) == nullptr) return false;
    const QByteArray temporary = folder + "/s";
    sockaddr_un bindaddress;
    const int fd = NewSocket();
    bool ok = fd >= 0 && SocketAddress(QFile::decodeName(temporary), bindaddress) &&
              ::bind(fd, reinterpret_cast<const sockaddr*>(&bindaddress), sizeof bindaddress) == 0 &&
              ::chmod(temporary.constData(), S_IRUSR | S_IWUSR) == 0 && ::listen(fd, 50) == 0 &&
              ::rename(temporary.constData(), address.sun_path) == 0;
    ::unlink(temporary.constData());  // left only when something failed before the move
    ::rmdir(folder.constData());
    if (!ok) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    fd_ = fd;
    notifier_ = new QSocketNotifier(static_cast<qintptr>(fd_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &InstanceServer::Accept);
    return true;
}

bool InstanceServer::Listening() const { return fd_ >= 0; }

void InstanceServer::Accept() {
    while (fd_ >= 0) {
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // none waiting (or out of descriptors: the next try comes with the next one)
        }
        new Client(client, this);
    }
}

bool StartOrHandOver(const QStringList& files, InstanceServer& server) {
    const QString name = InstanceSocketName();
    // Two starts at once: the lock makes one of them the first, the other then finds it. A lock
    // left by a crash is taken over (QLockFile checks that its process is gone).
    QLockFile lock(name + QStringLiteral(".lock"));
    const bool locked = lock.tryLock(5000);
    switch (HandToRunningInstance(name, files)) {
        case HandOverResult::Taken:
            return true;
        case HandOverResult::NoAnswer:
            // Something holds the name but does not answer: run on our own rather than lose
            // the files or leave the user without a window.
            return false;
        case HandOverResult::NoInstance:
            break;
    }
    server.Listen();
    if (locked) lock.unlock();
    return false;
}

}  // namespace veltrin
