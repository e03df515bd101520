#pragma once

#include "app/frmUSB_Main.h"
#include "app/message_box.h"
#include "sim/virtual_module.h"
#include "tests/support/recording_player.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <memory>
#include <mutex>

namespace korvane::test {

using sim::monotonicNs;

// Catches every message box for the duration of a test; nothing is shown. Outside a
// recorder, tests never show a modal box either (it would wait for OK forever): an
// unexpected message is printed as a warning instead.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    QList<Message> messages;
    // Called while a message is "open": lets a test run events meanwhile.
    std::function<void(const Message&)> whileOpen;
    // The keys of the messages the program closed itself (out of date).
    QStringList closed;

private:
    MessageHandler previous_;
    MessageCloseHandler previousClose_;
};

// Virtual modules on numbered ports in a private folder, and the catalogue that maps
// the program's port numbers to them. Ports without a module are absent.
class ModuleRig {
public:
    ModuleRig();
    // Starts a virtual module reached as port `number` (1..16).
    sim::VirtualModule& addModule(int number);
    // A port that exists but is some other device (a pty that never answers).
    sim::VirtualModule& addSilentDevice(int number);
    sim::VirtualModule& module(int number) { return *modules_.at(number); }
    PortCatalog catalog() const;
    QString folder() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
    std::map<int, std::unique_ptr<sim::VirtualModule>> modules_;
};

// A whole config.dat as a track has it: beep speed 250 ms, gate timing 2, the race time
// shown, the gate and lights on port A lines 3 to 6, the start button on port B line 2
// and the finish beam on line 7. It loads without a word to the operator.
QByteArray trackConfig(const QByteArray& beepSpeed = "250");

// The real main window on a rig, with a recording sound player and its own program folder.
struct WindowUnderTest {
    explicit WindowUnderTest(ModuleRig& rig);
    // With a player of the caller's own; `sound` is then null.
    WindowUnderTest(ModuleRig& rig, std::unique_ptr<SoundPlayer> player);
    ~WindowUnderTest();
    // Writes config.dat into the program folder.
    void writeConfig(const QByteArray& bytes);
    frmUSB_Main& operator*() { return *window; }
    frmUSB_Main* operator->() { return window.get(); }

    QTemporaryDir programFolder;
    RecordingSoundPlayer* sound = nullptr; // owned by the window
    std::unique_ptr<frmUSB_Main> window;
    bool ended = false; // End_Program was called
};

// The captions under `root` that do not fit their controls in the fonts this machine
// has, each as "text: needed / room" in pixels.
QStringList clippedCaptions(const QWidget* root);

// CPU time this process has used, user and system, in seconds.
double cpuSeconds();

// The command log of a module as readable text, e.g. {"? ", "! A 00", "A 00"}.
QStringList described(const sim::VirtualModule& module);
// The same without the reads of port B that the link makes all the time.
QStringList commands(const sim::VirtualModule& module);

} // namespace korvane::test
