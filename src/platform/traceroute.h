// Trace route in a terminal window: the stand-in for running "tracert <address>" in a new window.
// The command is an argument list handed to the new process directly; no shell ever sees the
// address, so a row's text can neither run commands nor pass options.
#pragma once

#include <QString>
#include <QStringList>

namespace veltrin {

// The host part of a list row: a leading "HTTP://" (any case) and everything from the first
// "/" after it are dropped, so "HTTP://host/x" gives "host". Other texts are returned trimmed.
// Trace route programs take a host, not a web address.
QString TraceRouteTarget(const QString& rowtext);

struct TraceRouteCommand {
    QString program;          // empty: nothing to run
    QStringList arguments;
    QString missing;          // why nothing can run ("no trace route program", "no terminal")
};

// Builds the command for `rowtext`:
//   <terminal> <its execute option> <traceroute|tracepath> -- <host>
// The terminal is $VELTRIN_TERMINAL when set (a program path or name, no arguments), else
// $TERMINAL, else the first of x-terminal-emulator, gnome-terminal, konsole, xfce4-terminal,
// mate-terminal, lxterminal, terminator, tilix, alacritty, kitty, foot, urxvt, xterm found on
// PATH. Each terminal gets the execute option it understands: "--" for gnome-terminal,
// mate-terminal and tilix, "-x" (rest of the line is the command) for xfce4-terminal and
// terminator, nothing for kitty and foot, "-e" for the others. The trace route program is $VELTRIN_TRACEROUTE when set, else traceroute, else
// tracepath. An empty host gives an empty program.
TraceRouteCommand BuildTraceRoute(const QString& rowtext);

// Starts the command detached, in its own window, and returns at once. False when nothing could
// be started; callers ignore failures, as a trace route is a convenience.
bool StartTraceRoute(const QString& rowtext);

}  // namespace veltrin
