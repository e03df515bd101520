#pragma once

#include <QProcessEnvironment>
#include <QString>

#include <sys/types.h>
#include <vector>

namespace korvane::test {

// The sound servers the audio checks run against. Both serve the PulseAudio protocol
// that the player speaks: PulseAudio itself, and PipeWire with its session manager
// (WirePlumber) and its PulseAudio service (pipewire-pulse), as current desktops run.
enum class SoundServerKind { PulseAudio, PipeWire };

// The server KORVANE_SOUND_SERVER names: "pulseaudio" (also when unset) or "pipewire".
// Any other value ends the process, so that a misspelt name never tests the wrong server.
SoundServerKind chosenSoundServer();
QString serverName(SoundServerKind kind);
// Why the kind cannot be started here, naming the Debian packages it needs; empty when
// all its programs are on the PATH.
QString missingPrograms(SoundServerKind kind);

// One private server with a null sink, "gate", as its default sink, served at
// socketPath(). Its processes run with a runtime folder and a home of their own under
// `folder`, so nothing of the machine's own sound setup or of the user's home is read
// or written, and they are children of this process, stopped by their ids.
class ServerStack {
public:
    ServerStack(SoundServerKind kind, const QString& folder);
    ~ServerStack();
    ServerStack(const ServerStack&) = delete;
    ServerStack& operator=(const ServerStack&) = delete;

    // Returns false with a reason in `error` (and nothing left running) when the server
    // does not come up.
    bool start(QString* error);
    void stop();
    bool isRunning() const { return !processes_.empty(); }
    std::vector<pid_t> processIds() const;
    SoundServerKind kind() const { return kind_; }

    QString socketPath() const;
    QString homePath() const;
    // For pactl and parec: the servers' own environment, pointed at this server.
    QProcessEnvironment clientEnvironment() const;

private:
    QString runtimePath() const;
    QProcessEnvironment serverEnvironment() const;
    bool startPulseAudio(QString* error);
    bool startPipeWire(QString* error);
    bool startSessionBus(QString* error);
    bool startProcess(const QString& program, const QStringList& arguments,
                      const QProcessEnvironment& environment, QString* error);
    bool waitForSocket(const QString& path, const QString& program, QString* error) const;
    bool waitForServer(QString* error) const;
    bool addGateSink(QString* error) const;
    bool makeGateTheDefault(QString* error) const;
    QString logOf(const QString& program) const;
    QString logTail(const QString& program) const;
    QString endedProcesses();

    SoundServerKind kind_;
    QString folder_;
    struct Process {
        pid_t pid;
        QString program;
    };
    std::vector<Process> processes_; // in the order started
};

} // namespace korvane::test
