#include "tests/support/files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <csignal>

#include <sys/resource.h>

namespace korvane::test {

QByteArray fileContents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

void placeFile(const QString& path, const QByteArray& what) {
    if (what == "<folder>")
        QVERIFY(QDir(QFileInfo(path).path()).mkdir(QFileInfo(path).fileName()));
    else if (what != "<missing>")
        writeFile(path, what);
}

bool onFullDisk(qint64 bytes, const std::function<bool()>& write) {
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    // Past the limit a write fails with EFBIG instead of ending the process.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = rlim_t(bytes);
    setrlimit(RLIMIT_FSIZE, &small);
    const bool result = write();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    return result;
}

} // namespace korvane::test
