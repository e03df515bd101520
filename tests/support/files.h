#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace korvane::test {

// The file's bytes; "<unreadable>" when there is no file to read (none, or a folder).
QByteArray fileContents(const QString& path);

// Makes `bytes` the whole file; a test failure when that cannot be done.
void writeFile(const QString& path, const QByteArray& bytes);

// Puts at `path` what a test row names: "<missing>" nothing, "<folder>" a folder, and
// anything else a file of those bytes.
void placeFile(const QString& path, const QByteArray& what);

// Runs `write` with no room for any file to grow past `bytes`, as on a full disk, and
// returns what it returns.
bool onFullDisk(qint64 bytes, const std::function<bool()>& write);

} // namespace korvane::test
