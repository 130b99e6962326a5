// One window program per user: the first start listens on a local socket only its user can
// reach; a later start hands its address files to it (which appends them and comes to the
// front) and ends. A socket file left by a program that crashed never keeps the next one from
// starting.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QSocketNotifier;

namespace veltrin {

// The socket's path for this user: in $XDG_RUNTIME_DIR when set (a folder only the user can
// enter), else in the temporary folder with the user id in the name.
QString InstanceSocketName();

// What a later start sends: a header line, then each file's absolute path percent-encoded on a
// line of its own, then an empty line.
QByteArray EncodeHandOver(const QStringList& files);

// Reads what a client sent so far. Complete: true with the files; not yet complete: false with
// `broken` false; something no start of ours sends (wrong header, too long, too many files, a
// line that is not a path): false with `broken` true. Bounded: at most kMaxHandOverBytes.
inline constexpr int kMaxHandOverBytes = 256 * 1024;
inline constexpr int kMaxHandOverFiles = 64;
bool DecodeHandOver(const QByteArray& bytes, QStringList& files, bool& broken);

enum class HandOverResult {
    NoInstance,  // nobody listens (or only a stale socket file is there): start as the first
    Taken,       // a running program took the files: this start ends
    NoAnswer,    // something listens but did not answer in time: start without the socket
};

// Tries to give `files` (absolute paths) to a running program of this user.
HandOverResult HandToRunningInstance(const QString& name, const QStringList& files, int timeoutms = 3000);

// The first start's side. Window thread only.
class InstanceServer : public QObject {
    Q_OBJECT

public:
    explicit InstanceServer(QString name, QObject* parent = nullptr);
    ~InstanceServer() override;

    // Listens, after removing a socket file nobody answers on. False when it cannot (the
    // program then runs without the hand-over).
    bool Listen();
    bool Listening() const;

signals:
    // A later start's files (possibly none: it only asks for the window).
    void filesArrived(const QStringList& files);

private:
    class Client;
    void Accept();
    void Close();
    QString name_;
    int fd_ = -1;  // the listening socket
    QSocketNotifier* notifier_ = nullptr;
};

// The whole start-up decision for the window program, under a lock file so two starts at the
// same moment do not both become the first: true when a running program took `files` and this
// start should end with status 0. Otherwise `server` listens (when it could).
bool StartOrHandOver(const QStringList& files, InstanceServer& server);

}  // namespace veltrin
