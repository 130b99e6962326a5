#include "ui/singleinstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <memory>

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

HandOverResult HandToRunningInstance(const QString& name, const QStringList& files, int timeoutms) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutms)) {
        // Refused or no such file: nobody is there (a crashed program's file counts as nobody).
        return socket.error() == QLocalSocket::SocketTimeoutError ? HandOverResult::NoAnswer
                                                                  : HandOverResult::NoInstance;
    }
    socket.write(EncodeHandOver(files));
    const QDeadlineTimer deadline(timeoutms);
    socket.waitForBytesWritten(timeoutms);
    QByteArray reply;
    while (!reply.contains('\n') && reply.size() < 64) {
        if (socket.bytesAvailable() == 0 &&
            !socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
            break;
        reply += socket.read(64);
    }
    return reply.startsWith(kTaken) ? HandOverResult::Taken : HandOverResult::NoAnswer;
}

InstanceServer::InstanceServer(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {
    server_ = new QLocalServer(this);
    // The socket file is the user's own: nobody else may hand us files.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &InstanceServer::Accept);
}

InstanceServer::~InstanceServer() {
    if (server_->isListening()) server_->close();  // removes the socket file
}

bool InstanceServer::Listen() {
    if (server_->isListening()) return true;
    if (QFileInfo::exists(name_)) {
        // Listening would quietly put a new socket file in place of one that is there, so the
        // file is only replaced when nobody answers on it: a crash leaves one behind.
        QLocalSocket probe;
        probe.connectToServer(name_);
        if (probe.waitForConnected(1000)) return false;
        QLocalServer::removeServer(name_);
    }
    return server_->listen(name_);
}

bool InstanceServer::Listening() const { return server_->isListening(); }

void InstanceServer::Accept() {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        auto* limit = new QTimer(client);
        limit->setSingleShot(true);
        connect(limit, &QTimer::timeout, client, &QLocalSocket::abort);
        limit->start(kClientLimitMs);
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client, buffer, limit] {
            *buffer += client->read(kMaxHandOverBytes + 1 - buffer->size());
            QStringList files;
            bool broken = false;
            if (DecodeHandOver(*buffer, files, broken)) {
                limit->stop();
                client->write(kTaken);
                client->disconnectFromServer();
                emit filesArrived(files);
            } else if (broken) {
                client->abort();
            }
        });
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
