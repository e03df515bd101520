#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace korvane::test {

// Starts `program` (looked up on the environment's PATH) as a child of this process with
// exactly `environment`, its standard output to `outputFd` and its standard error to
// `errorFd` (-1: /dev/null), and no standard input. The child gets SIGTERM when the
// calling thread ends, so a test that crashes or is killed leaves nothing running: start
// children from a thread that outlives them. Returns the child's id, or -1 with a reason
// in `error`.
pid_t spawnChild(const QString& program, const QStringList& arguments,
                 const QProcessEnvironment& environment, int outputFd, int errorFd, QString* error);

// Ends a child of spawnChild(): SIGTERM, SIGKILL if it is still there after `limitMs`,
// then reaps it. Nothing is done for an id <= 0.
void stopChild(pid_t pid, int limitMs = 3000);

// Whether a child of spawnChild() has ended (and is reaped by this call).
bool childHasEnded(pid_t pid);

// Runs a command to its end (at most 10 s); false with its error output in `error` when
// it fails. Its standard output goes to `output` when given.
bool runCommand(const QString& program, const QStringList& arguments,
                const QProcessEnvironment& environment, QString* error,
                QByteArray* output = nullptr);

// Waits until `path` exists, at most `limitMs`.
bool waitForPath(const QString& path, int limitMs);

} // namespace korvane::test
