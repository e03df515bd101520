#pragma once

#include <QString>

#include <memory>

namespace korvane {

// The program's log: every message of Qt's logging (the link's and the start's
// categories among them) goes to stderr and to `korvane.log` in a folder, with the time
// of day and the category. The file is kept small: at `Largest_File_Bytes` it becomes
// `korvane.log.1` (the older ones move up, the oldest goes), so the log never fills a
// disk. Nothing is written on the thread that logs: lines are handed to a thread of the
// log's own, so a message in the middle of a start costs the start no disk.
class LogFile {
public:
    static constexpr qint64 Largest_File_Bytes = 1024 * 1024;
    static constexpr int Files_Kept = 3; // korvane.log, .1, .2

    // Logs into `folder` from now on, until destroyed; one at a time.
    explicit LogFile(const QString& folder, bool toStderr = true);
    ~LogFile(); // writes out what is queued
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    QString path() const;
    // Waits until every line logged so far is in the file.
    void flush();

    struct Writer;

private:
    std::unique_ptr<Writer> writer_;
};

} // namespace korvane
