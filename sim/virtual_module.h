#pragma once

#include "sequence/clocks.h"
#include "sim/paced_line.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace korvane::sim {

// Every command is stamped on the program's own monotonic clock (CLOCK_MONOTONIC), so
// its stamps and the program's times compare directly.
using korvane::monotonicNs;

// Renders a command's bytes for logs and failure messages: the command letter
// as a letter, argument bytes as two hex digits ("! A 00", "H 03", "?").
QString describe(const QByteArray& command);

// The 24-line digital I/O module served on a pseudo-terminal: the program opens
// devicePath() as it would the real module's serial port. The module runs on its
// own thread, because the program blocks its GUI thread while it waits for a reply.
// Control calls (start, unplug, replug, destruction) come from one thread; the
// settings, ports and command log may be used from any thread.
class VirtualModule {
public:
    struct Command {
        qint64 atNs; // CLOCK_MONOTONIC, when the command's last byte arrived
        QByteArray bytes;
    };

    // linkPath: where to place a symbolic link to the pty (e.g. "<dir>/ttyUSB0"); empty: none.
    explicit VirtualModule(const QString& linkPath = {});
    ~VirtualModule();
    VirtualModule(const VirtualModule&) = delete;
    VirtualModule& operator=(const VirtualModule&) = delete;

    bool start();
    QString devicePath() const; // the link if one was asked for, else the pty itself
    QString slavePath() const;

    // Replies
    void setIdentification(const QByteArray& reply); // the whole reply to "?"
    void setReplyDelayMs(int ms);                    // every reply goes out this late
    void setSilent(bool silent);                     // no replies at all
    void setDoubleReply(bool on);                    // port read replies are sent twice
    void injectBytes(const QByteArray& bytes);       // stray bytes to the program, now
    // Every reply is sent in two pieces: its first `firstBytes` bytes as usual, the rest
    // `restDelayMs` later (a USB adapter's latency timer splits a line like this).
    void setSplitReply(int firstBytes, int restDelayMs);
    // The link a real module is reached by: commands arrive, and replies leave, at the
    // line rate; replies reach the program when the USB adapter's latency timer lets
    // them. Applies to bytes that go on the wire from now on.
    void setPacing(LinePacing pacing);

    // Lines: 0-7 port A, 8-15 port B, 16-23 port C; bit n of a port byte is line n.
    void setPort(char port, quint8 value);
    quint8 port(char port) const;
    void setLine(int line, bool on);
    bool line(int line) const;
    quint8 direction(char port) const;

    // Unplug closes the pty (the program's open port sees a hang-up) and removes the
    // link; replug makes a new pty behind the link, or behind `linkPath` when one is
    // given (an adapter that comes back under another name). A module unplugged with
    // its power comes back with every line off and an input; otherwise ports are kept.
    enum class Power { Kept, Lost };
    void unplug(Power power = Power::Kept);
    bool replug(const QString& linkPath = {});
    bool isPlugged() const;

    // Command log
    QList<Command> commands() const;
    void clearCommands();
    bool waitForCommands(int count, int timeoutMs) const;

    // Called on the module's thread after every applied command. Set before start().
    void setOnCommand(std::function<void(const Command&)> cb);

private:
    static constexpr int Port_Count = 3;

    bool openPty();
    void closePty();
    bool pointLinkAtSlave();
    void removeLink();
    void startThread();
    void stopThread();
    void wake();

    void run(int masterFd);
    bool readFromProgram(int masterFd); // false when the pty can no longer be used
    void takeArrivedCommands(qint64 nowNs);
    void handleByte(char byte, qint64 atNs);
    void apply(const QByteArray& command, qint64 atNs);
    QByteArray replyLocked(const QByteArray& command);
    void applyLocked(const QByteArray& command);
    qint64 sendDueReplies(qint64 nowNs); // returns the next due time or -1; mutex held
    void configureLines();               // mutex held
    bool writeOut(int masterFd, QByteArray& out);

    QString linkPath_; // changed only while the module thread is stopped
    std::function<void(const Command&)> onCommand_;

    // Owned by the controlling thread while the module thread is stopped.
    int masterFd_ = -1;
    int slaveFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;

    // Owned by the module thread.
    QByteArray partial_; // a command whose last bytes have not arrived yet
    PacedLine toModule_;
    PacedLine toProgram_;

    mutable std::mutex mutex_;
    mutable std::condition_variable commandLogged_;
    QString slavePath_;
    bool plugged_ = false;
    bool stopping_ = false;
    QByteArray identification_ = "USB I/O 24R1\r\n";
    int replyDelayMs_ = 0;
    bool silent_ = false;
    bool doubleReply_ = false;
    int splitAfter_ = 0; // 0: replies go out whole
    int splitDelayMs_ = 0;
    LinePacing pacing_;
    std::array<quint8, Port_Count> ports_{};
    std::array<quint8, Port_Count> directions_{};
    std::multimap<qint64, QByteArray> pendingReplies_; // when they go out -> bytes, in order
    QList<Command> commands_;
};

} // namespace korvane::sim
