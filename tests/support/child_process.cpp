#include "tests/support/child_process.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace korvane::test {

namespace {

constexpr int Command_Limit_Ms = 10000;
constexpr int Poll_Ms = 10;

// Strings and the null-terminated array of pointers to them that exec wants, made before
// fork: the child may only make async-signal-safe calls.
class CStrings {
public:
    explicit CStrings(const QStringList& strings) {
        for (const QString& s : strings) {
            strings_.push_back(s.toLocal8Bit().toStdString());
        }
        for (std::string& s : strings_) {
            pointers_.push_back(s.data());
        }
        pointers_.push_back(nullptr);
    }
    char* const* data() { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

pid_t spawnChild(const QString& program, const QStringList& arguments,
                 const QProcessEnvironment& environment, int outputFd, int errorFd,
                 QString* error) {
    const QString path = QStandardPaths::findExecutable(
        program, environment.value(QStringLiteral("PATH")).split(QLatin1Char(':')));
    if (path.isEmpty()) {
        if (error != nullptr) {
            *error = QStringLiteral("%1 is not on the PATH").arg(program);
        }
        return -1;
    }
    const QByteArray file = QFile::encodeName(path);
    CStrings argv(QStringList{QFileInfo(path).fileName()} + arguments);
    CStrings envp(environment.toStringList());
    const int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127); // the parent's thread ended before the line above
        }
        dup2(nullFd, STDIN_FILENO);
        dup2(outputFd >= 0 ? outputFd : nullFd, STDOUT_FILENO);
        dup2(errorFd >= 0 ? errorFd : nullFd, STDERR_FILENO);
        execve(file.constData(), argv.data(), envp.data());
        _exit(127);
    }
    const int forkErrno = errno;
    close(nullFd);
    if (pid < 0 && error != nullptr) {
        *error = QStringLiteral("%1 did not start: %2")
                     .arg(program, QString::fromLocal8Bit(strerror(forkErrno)));
    }
    return pid;
}

bool childHasEnded(pid_t pid) {
    const pid_t result = waitpid(pid, nullptr, WNOHANG);
    return result == pid || (result < 0 && errno == ECHILD);
}

void stopChild(pid_t pid, int limitMs) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    for (int waited = 0; waited < limitMs; waited += Poll_Ms) {
        if (childHasEnded(pid)) {
            return;
        }
        sleepMs(Poll_Ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool runCommand(const QString& program, const QStringList& arguments,
                const QProcessEnvironment& environment, QString* error, QByteArray* output) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(Command_Limit_Ms) ||
        process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error != nullptr) {
            *error = QStringLiteral("%1 %2 failed: %3")
                         .arg(program, arguments.join(QLatin1Char(' ')),
                              QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
        }
        return false;
    }
    if (output != nullptr) {
        *output = process.readAllStandardOutput();
    }
    return true;
}

bool waitForPath(const QString& path, int limitMs) {
    for (int waited = 0; !QFileInfo::exists(path); waited += Poll_Ms) {
        if (waited >= limitMs) {
            return false;
        }
        sleepMs(Poll_Ms);
    }
    return true;
}

} // namespace korvane::test
