// A private X session for window tests that need a real X server: Xvfb on a display number the
// server picks itself (-displayfd, so parallel tests never collide), optionally the openbox window
// manager (for moves, stacking and focus) and the trayer notification area (for tray icons).
// Start it before the QApplication exists; it points DISPLAY at the new server and makes Qt use
// the xcb platform. Every process it started is ended (by its own pid) when it goes away.
#pragma once

#include <QRect>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <vector>

namespace veltrin::testing {

struct XSessionOptions {
    bool windowmanager = true;  // openbox
    bool tray = false;          // trayer
    int width = 1024;
    int height = 768;
};

class XSession {
public:
    XSession() = default;
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    // Empty on success, else why the session could not be made (a missing program, a server
    // that did not come up). Call before QApplication.
    QString Start(const XSessionOptions& options);
    bool ok() const { return ok_; }
    const QString& skipreason() const { return skipreason_; }
    QString display() const { return display_; }

    // Runs a program of the session (xdotool, xprop ...) to its end; its standard output. Only
    // for programs that return at once: a command that opens a menu must use Detached.
    static QString Run(const QString& program, const QStringList& arguments, int* exitcode = nullptr);
    // Starts it and returns at once (for input that opens nested event loops in the test).
    static bool Detached(const QString& program, const QStringList& arguments);

    // Where the X server has the window (absolute position and size). Qt's own idea of a
    // top-level window's position can lag behind after the window manager reparents it.
    static QRect WindowRect(unsigned long window);

    // Window ids in bottom-to-top order, as the window manager publishes them.
    static std::vector<unsigned long> StackingOrder();

private:
    pid_t Spawn(const std::vector<QByteArray>& argv, int keepfd = -1);
    bool ok_ = false;
    QString skipreason_;
    QString display_;
    std::vector<pid_t> children_;
};

// Sets the session up in main() before the application object and remembers why it failed, so
// every test can QSKIP with that reason.
XSession& SharedXSession();

}  // namespace veltrin::testing
