// Small helpers for the XDG files the program writes (desktop entries, MIME packages).
#pragma once

#include <QByteArray>
#include <QString>

namespace veltrin {

// One argument of a desktop entry's Exec key, quoted when it needs to be, with the escapes of
// the Exec key and of a desktop entry string value applied ("a b" -> "\"a b\"", a backslash
// inside quotes becomes four backslashes in the file).
QString DesktopExecArgument(const QString& argument);

// Escapes a value of a desktop entry string key (newline, tab, carriage return, backslash).
QString DesktopStringValue(const QString& value);

enum class WriteOutcome { Unchanged, Written, Failed };

// Writes `bytes` to `path` whole (temporary file beside it, then rename) unless the file
// already holds exactly these bytes. Creates missing parent folders.
WriteOutcome WriteFileIfDifferent(const QString& path, const QByteArray& bytes);

}  // namespace veltrin
