#include "app/log_file.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace korvane {

namespace {

const QString File_Name = QStringLiteral("korvane.log");

const char* levelName(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "";
}

} // namespace

struct LogFile::Writer {
    QString path;
    bool toStderr = true;
    std::mutex mutex;
    std::condition_variable queued;
    std::condition_variable written;
    std::deque<QByteArray> lines;
    bool stopping = false;
    bool busy = false;
    QtMessageHandler previous = nullptr;
    std::thread thread;

    void run() {
        QFile file(path);
        std::unique_lock lock(mutex);
        for (;;) {
            queued.wait(lock, [&] { return stopping || !lines.empty(); });
            if (lines.empty())
                break;
            std::deque<QByteArray> batch;
            batch.swap(lines);
            busy = true;
            lock.unlock();
            for (const QByteArray& line : batch)
                write(file, line);
            file.flush();
            lock.lock();
            busy = false;
            written.notify_all();
        }
    }

    void write(QFile& file, const QByteArray& line) {
        if (toStderr) {
            std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
            std::fflush(stderr);
        }
        if (!file.isOpen() && !file.open(QIODevice::Append | QIODevice::WriteOnly))
            return; // a folder that cannot be written: stderr is all there is
        file.write(line);
        if (file.size() >= Largest_File_Bytes) {
            file.close();
            rotate();
        }
    }

    void rotate() const {
        QFile::remove(QStringLiteral("%1.%2").arg(path).arg(Files_Kept - 1));
        for (int n = Files_Kept - 2; n >= 1; --n)
            QFile::rename(QStringLiteral("%1.%2").arg(path).arg(n),
                          QStringLiteral("%1.%2").arg(path).arg(n + 1));
        QFile::rename(path, path + QStringLiteral(".1"));
    }

    void take(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        const QByteArray line = QDateTime::currentDateTime()
                                    .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                                    .toUtf8() +
                                ' ' + levelName(type) + ' ' +
                                (context.category ? context.category : "default") + ": " +
                                message.toUtf8() + '\n';
        {
            const std::lock_guard lock(mutex);
            lines.push_back(line);
        }
        queued.notify_one();
    }
};

namespace {

LogFile::Writer* current = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (current)
        current->take(type, context, message);
}

} // namespace

LogFile::LogFile(const QString& folder, bool toStderr)
    : writer_(std::make_unique<Writer>()) {
    writer_->path = QDir(folder).filePath(File_Name);
    writer_->toStderr = toStderr;
    writer_->thread = std::thread([this] { writer_->run(); });
    current = writer_.get();
    writer_->previous = qInstallMessageHandler(handleMessage);
}

LogFile::~LogFile() {
    qInstallMessageHandler(writer_->previous);
    current = nullptr;
    {
        const std::lock_guard lock(writer_->mutex);
        writer_->stopping = true;
    }
    writer_->queued.notify_one();
    writer_->thread.join();
}

QString LogFile::path() const {
    return writer_->path;
}

void LogFile::flush() {
    std::unique_lock lock(writer_->mutex);
    writer_->written.wait(lock, [&] { return writer_->lines.empty() && !writer_->busy; });
}

} // namespace korvane
