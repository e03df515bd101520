#include "sim/virtual_module.h"

#include "sim/module_commands.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace korvane::sim {

namespace {

constexpr int Line_Count = 24;
constexpr qint64 Ns_Per_Ms = 1'000'000;
constexpr qint64 Ns_Per_S = 1'000'000'000;

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool setCloseOnExec(int fd) {
    // A child process holding the master would keep the pty alive after an unplug.
    return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool isSymLink(const QByteArray& path) {
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

QString describe(const QByteArray& command) {
    QStringList parts;
    for (qsizetype i = 0; i < command.size(); ++i) {
        const auto byte = quint8(command.at(i));
        // The command letter and the port letter of "!" read best as letters.
        const bool letterPosition = i == 0 || (i == 1 && command.at(0) == '!');
        if (letterPosition && byte > 0x20 && byte < 0x7f)
            parts << QString(QChar(byte));
        else
            parts << QStringLiteral("%1").arg(uint(byte), 2, 16, QLatin1Char('0')).toUpper();
    }
    return parts.join(QLatin1Char(' '));
}

VirtualModule::VirtualModule(const QString& linkPath)
    : linkPath_(linkPath) {
    // Until the program sets them, every line is an input, as on power-up.
    directions_.fill(0xFF);
}

VirtualModule::~VirtualModule() {
    unplug();
    closeFd(wakeFd_);
}

bool VirtualModule::start() {
    if (isPlugged())
        return true;
    if (wakeFd_ < 0)
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0 || !openPty())
        return false;
    if (!pointLinkAtSlave()) {
        closePty();
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        plugged_ = true;
        pendingReplies_.clear();
    }
    startThread();
    return true;
}

QString VirtualModule::devicePath() const {
    return linkPath_.isEmpty() ? slavePath() : linkPath_;
}

QString VirtualModule::slavePath() const {
    std::lock_guard lock(mutex_);
    return slavePath_;
}

void VirtualModule::setIdentification(const QByteArray& reply) {
    std::lock_guard lock(mutex_);
    identification_ = reply;
}

void VirtualModule::setReplyDelayMs(int ms) {
    std::lock_guard lock(mutex_);
    replyDelayMs_ = qMax(0, ms);
}

void VirtualModule::setSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

void VirtualModule::setDoubleReply(bool on) {
    std::lock_guard lock(mutex_);
    doubleReply_ = on;
}

void VirtualModule::injectBytes(const QByteArray& bytes) {
    {
        std::lock_guard lock(mutex_);
        if (!plugged_)
            return;
        pendingReplies_.emplace(monotonicNs(), bytes);
    }
    wake();
}

void VirtualModule::setSplitReply(int firstBytes, int restDelayMs) {
    std::lock_guard lock(mutex_);
    splitAfter_ = qMax(0, firstBytes);
    splitDelayMs_ = qMax(0, restDelayMs);
}

void VirtualModule::setPacing(LinePacing pacing) {
    pacing.adapterLatencyMs = qMax(0, pacing.adapterLatencyMs);
    bool plugged = false;
    {
        std::lock_guard lock(mutex_);
        pacing_ = pacing;
        plugged = plugged_;
    }
    if (plugged)
        wake(); // the thread may be asleep with the lines set up as they were
}

void VirtualModule::setPort(char port, quint8 value) {
    const int index = portIndex(port);
    if (index < 0)
        return;
    std::lock_guard lock(mutex_);
    ports_[index] = value;
}

quint8 VirtualModule::port(char port) const {
    const int index = portIndex(port);
    if (index < 0)
        return 0;
    std::lock_guard lock(mutex_);
    return ports_[index];
}

void VirtualModule::setLine(int line, bool on) {
    if (line < 0 || line >= Line_Count)
        return;
    const auto bit = quint8(1u << (line % 8));
    std::lock_guard lock(mutex_);
    quint8& value = ports_[line / 8];
    value = on ? quint8(value | bit) : quint8(value & ~bit);
}

bool VirtualModule::line(int line) const {
    if (line < 0 || line >= Line_Count)
        return false;
    std::lock_guard lock(mutex_);
    return (ports_[line / 8] >> (line % 8)) & 1u;
}

quint8 VirtualModule::direction(char port) const {
    const int index = portIndex(port);
    if (index < 0)
        return 0;
    std::lock_guard lock(mutex_);
    return directions_[index];
}

void VirtualModule::unplug(Power power) {
    if (!isPlugged())
        return;
    stopThread();
    closePty();
    // A link left dangling could later lead to a pty that some other process got.
    removeLink();
    std::lock_guard lock(mutex_);
    plugged_ = false;
    pendingReplies_.clear();
    if (power == Power::Lost) {
        ports_.fill(0x00);
        directions_.fill(0xFF);
    }
}

bool VirtualModule::replug(const QString& linkPath) {
    if (isPlugged())
        return false;
    if (!linkPath.isEmpty())
        linkPath_ = linkPath;
    return start();
}

bool VirtualModule::isPlugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

QList<VirtualModule::Command> VirtualModule::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

void VirtualModule::clearCommands() {
    std::lock_guard lock(mutex_);
    commands_.clear();
}

bool VirtualModule::waitForCommands(int count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return commandLogged_.wait_for(lock, std::chrono::milliseconds(qMax(0, timeoutMs)),
                                   [&] { return commands_.size() >= count; });
}

void VirtualModule::setOnCommand(std::function<void(const Command&)> cb) {
    onCommand_ = std::move(cb);
}

bool VirtualModule::openPty() {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return false;

    char name[PATH_MAX] = {};
    termios tio{};
    // Raw both ways: CR, LF, NUL and XON/XOFF bytes pass untranslated, nothing is echoed.
    bool ok = ::ttyname_r(slave, name, sizeof name) == 0 && ::tcgetattr(slave, &tio) == 0;
    if (ok) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B9600);
        ::cfsetospeed(&tio, B9600);
        ok = ::tcsetattr(slave, TCSANOW, &tio) == 0 && setCloseOnExec(master) &&
             setCloseOnExec(slave) && fcntl(master, F_SETFL, O_NONBLOCK) == 0;
    }
    if (!ok) {
        ::close(master);
        ::close(slave);
        return false;
    }
    // The slave stays open here too: without it the pty hangs up whenever the
    // program closes its port between discovery probes.
    masterFd_ = master;
    slaveFd_ = slave;
    std::lock_guard lock(mutex_);
    slavePath_ = QString::fromLocal8Bit(name);
    return true;
}

void VirtualModule::closePty() {
    closeFd(masterFd_);
    closeFd(slaveFd_);
}

bool VirtualModule::pointLinkAtSlave() {
    if (linkPath_.isEmpty())
        return true;
    const QByteArray link = QFile::encodeName(linkPath_);
    const QFileInfo info(linkPath_);
    // Made under a hidden name and renamed over the link, so the link never goes missing.
    const QByteArray temp = QFile::encodeName(
        info.path() + QStringLiteral("/.%1.%2").arg(info.fileName()).arg(::getpid()));
    ::unlink(temp.constData());
    const QByteArray target = QFile::encodeName(slavePath());
    if (::symlink(target.constData(), temp.constData()) != 0)
        return false;
    if (::rename(temp.constData(), link.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    return true;
}

void VirtualModule::removeLink() {
    if (linkPath_.isEmpty())
        return;
    const QByteArray link = QFile::encodeName(linkPath_);
    if (isSymLink(link))
        ::unlink(link.constData());
}

void VirtualModule::startThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread(&VirtualModule::run, this, masterFd_);
}

void VirtualModule::stopThread() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
}

void VirtualModule::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

void VirtualModule::run(int masterFd) {
    partial_.clear();
    toModule_.clear();
    toProgram_.clear();
    QByteArray out; // reply bytes on the program's side of the line, not yet taken by the pty
    bool masterUsable = true;
    for (;;) {
        takeArrivedCommands(monotonicNs());
        qint64 nextDueNs = -1;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            configureLines();
            nextDueNs = sendDueReplies(monotonicNs());
        }
        for (const PacedLine::Byte& byte : toProgram_.takeArrived(monotonicNs()))
            out.append(byte.value);
        for (const qint64 dueNs : {toModule_.nextArrivalNs(), toProgram_.nextArrivalNs()}) {
            if (dueNs >= 0 && (nextDueNs < 0 || dueNs < nextDueNs))
                nextDueNs = dueNs;
        }
        if (!masterUsable)
            out.clear();
        else if (!out.isEmpty())
            masterUsable = writeOut(masterFd, out);

        const short masterEvents = short(POLLIN | (out.isEmpty() ? 0 : POLLOUT));
        pollfd fds[2] = {{masterUsable ? masterFd : -1, masterEvents, 0}, {wakeFd_, POLLIN, 0}};
        timespec timeout{};
        if (nextDueNs >= 0) {
            const qint64 waitNs = qMax<qint64>(0, nextDueNs - monotonicNs());
            timeout = {time_t(waitNs / Ns_Per_S), long(waitNs % Ns_Per_S)};
        }
        if (::ppoll(fds, 2, nextDueNs >= 0 ? &timeout : nullptr, nullptr) < 0)
            continue; // EINTR; the loop checks for stop first

        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(wakeFd_, &count, sizeof count);
        }
        if (fds[0].revents & POLLIN) {
            masterUsable = readFromProgram(masterFd);
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            masterUsable = false; // never polled again, or the loop would spin
        }
    }
}

bool VirtualModule::readFromProgram(int masterFd) {
    char buffer[256];
    const ssize_t got = ::read(masterFd, buffer, sizeof buffer);
    if (got <= 0)
        return got < 0 && errno == EAGAIN;
    const qint64 readNs = monotonicNs();
    {
        // Paced as set now, though the thread may not have looped since a change.
        std::lock_guard lock(mutex_);
        configureLines();
    }
    toModule_.send(buffer, got, readNs);
    return true;
}

void VirtualModule::configureLines() {
    const qint64 byteNs = pacing_.lineRate ? PacedLine::Byte_Ns : 0;
    toModule_.configure(byteNs, 0); // the module's UART takes each byte as it comes
    toProgram_.configure(byteNs, pacing_.adapterLatencyMs * Ns_Per_Ms);
}

void VirtualModule::takeArrivedCommands(qint64 nowNs) {
    for (const PacedLine::Byte& byte : toModule_.takeArrived(nowNs))
        handleByte(byte.value, byte.atNs);
}

void VirtualModule::handleByte(char byte, qint64 atNs) {
    // A byte stream: a command may arrive split over several reads.
    partial_.append(byte);
    if (partial_.size() == commandShape(partial_.at(0)).length) {
        apply(partial_, atNs);
        partial_.clear();
    }
}

void VirtualModule::apply(const QByteArray& command, qint64 atNs) {
    // A copy of its own: the parser's buffer is reused on this thread.
    const Command logged{atNs, QByteArray(command.constData(), command.size())};
    {
        std::lock_guard lock(mutex_);
        applyLocked(command);
        const QByteArray reply = silent_ ? QByteArray() : replyLocked(command);
        const qint64 dueNs = atNs + replyDelayMs_ * Ns_Per_Ms;
        if (splitAfter_ > 0 && reply.size() > splitAfter_) {
            pendingReplies_.emplace(dueNs, reply.left(splitAfter_));
            pendingReplies_.emplace(dueNs + splitDelayMs_ * Ns_Per_Ms, reply.mid(splitAfter_));
        } else if (!reply.isEmpty()) {
            pendingReplies_.emplace(dueNs, reply);
        }
        commands_.append(logged);
    }
    commandLogged_.notify_all();
    if (onCommand_)
        onCommand_(logged);
}

void VirtualModule::applyLocked(const QByteArray& command) {
    const CommandShape shape = commandShape(command.at(0));
    switch (shape.kind) {
    case CommandKind::SetDirection: {
        // The port by its upper-case letter, as in a write.
        const CommandShape target = commandShape(command.at(1));
        if (target.kind == CommandKind::WritePort)
            directions_[target.port] = quint8(command.at(2));
        break;
    }
    case CommandKind::WritePort:
        ports_[shape.port] = quint8(command.at(1));
        break;
    case CommandKind::LineOn:
    case CommandKind::LineOff: {
        const int line = quint8(command.at(1));
        if (line < Line_Count) {
            const auto bit = quint8(1u << (line % 8));
            quint8& value = ports_[line / 8];
            value = shape.kind == CommandKind::LineOn ? quint8(value | bit) : quint8(value & ~bit);
        }
        break;
    }
    case CommandKind::Identify:
    case CommandKind::ReadPort:
    case CommandKind::Unknown:
        break; // nothing changes
    }
}

QByteArray VirtualModule::replyLocked(const QByteArray& command) {
    const CommandShape shape = commandShape(command.at(0));
    if (shape.kind == CommandKind::Identify)
        return identification_;
    if (shape.kind == CommandKind::ReadPort) {
        const QByteArray value(1, char(ports_[shape.port]));
        return doubleReply_ ? value + value : value;
    }
    return {};
}

qint64 VirtualModule::sendDueReplies(qint64 nowNs) {
    auto it = pendingReplies_.begin();
    // Each goes on the line when it was due, not when this thread woke up for it.
    for (; it != pendingReplies_.end() && it->first <= nowNs; ++it)
        toProgram_.send(it->second.constData(), it->second.size(), it->first);
    pendingReplies_.erase(pendingReplies_.begin(), it);
    return pendingReplies_.empty() ? -1 : pendingReplies_.begin()->first;
}

bool VirtualModule::writeOut(int masterFd, QByteArray& out) {
    const ssize_t written = ::write(masterFd, out.constData(), size_t(out.size()));
    if (written > 0) {
        out.remove(0, written);
        return true;
    }
    if (written < 0 && errno == EAGAIN)
        return true; // the program is not reading; POLLOUT says when it has room
    out.clear();
    return false;
}

} // namespace korvane::sim
