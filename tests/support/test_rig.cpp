#include "tests/support/test_rig.h"

#include "settings/config_file.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QTest>

#include <sys/resource.h>

#include <ctime>

namespace korvane::test {

namespace {
// Installed before any test runs.
const bool Unattended_Messages = [] {
    setMessageHandler([](const Message& message) {
        qWarning("message box: %s (%s)", qPrintable(message.text), qPrintable(message.title));
    });
    return true;
}();
} // namespace

MessageRecorder::MessageRecorder()
    : previous_(messageHandler())
    , previousClose_(messageCloseHandler()) {
    setMessageHandler([this](const Message& message) {
        messages.append(message);
        if (whileOpen)
            whileOpen(message);
    });
    setMessageCloseHandler([this](const QString& key) { closed << key; });
}

MessageRecorder::~MessageRecorder() {
    setMessageHandler(previous_);
    setMessageCloseHandler(previousClose_);
}

ModuleRig::ModuleRig() = default;

sim::VirtualModule& ModuleRig::addModule(int number) {
    auto module =
        std::make_unique<sim::VirtualModule>(dir_.filePath(QStringLiteral("ttyUSB%1").arg(number)));
    if (!module->start())
        qFatal("cannot start a virtual module");
    auto& ref = *module;
    modules_[number] = std::move(module);
    return ref;
}

sim::VirtualModule& ModuleRig::addSilentDevice(int number) {
    sim::VirtualModule& device = addModule(number);
    device.setSilent(true);
    return device;
}

PortCatalog ModuleRig::catalog() const {
    QStringList names;
    for (const auto& [number, module] : modules_) {
        while (names.size() < number)
            names << QString();
        names[number - 1] = module->devicePath();
    }
    return PortCatalog::fromNames(names);
}

WindowUnderTest::WindowUnderTest(ModuleRig& rig)
    : WindowUnderTest(rig, std::make_unique<RecordingSoundPlayer>()) {
    sound = static_cast<RecordingSoundPlayer*>(&window->sound());
}

WindowUnderTest::WindowUnderTest(ModuleRig& rig, std::unique_ptr<SoundPlayer> player) {
    window = std::make_unique<frmUSB_Main>(rig.catalog(), std::move(player), programFolder.path());
    window->endProgram = [this] { ended = true; };
}

WindowUnderTest::~WindowUnderTest() = default;

void WindowUnderTest::writeConfig(const QByteArray& bytes) {
    config::saveConfigAtomically(config::configPathFor(programFolder.path()), bytes);
}

QByteArray trackConfig(const QByteArray& beepSpeed) {
    const QList<QByteArray> values = {beepSpeed, "2", "T", "3", "4", "5", "6", "2", "7"};
    QByteArray text;
    for (int i = 0; i < values.size(); ++i)
        text += '"' + values[i] + config::lineLabels()[i] + "\"\r\n";
    return text;
}

QStringList clippedCaptions(const QWidget* root) {
    QStringList clipped;
    const auto check = [&](const QString& text, const QFont& font, int room, int height = 0) {
        if (text.isEmpty())
            return;
        const QFontMetrics metrics(font);
        const int needed =
            height > 0
                ? metrics.boundingRect(QRect(0, 0, room, 10000), Qt::TextWordWrap, text).height()
                : metrics.horizontalAdvance(text);
        if (needed > (height > 0 ? height : room))
            clipped << QStringLiteral("%1: %2 / %3").arg(text).arg(needed).arg(room);
    };
    for (const QLabel* label : root->findChildren<QLabel*>()) {
        if (label->wordWrap())
            check(label->text(), label->font(), label->width(), label->height());
        else
            check(label->text(), label->font(), label->width());
    }
    for (const QGroupBox* frame : root->findChildren<QGroupBox*>())
        check(frame->title(), frame->font(), frame->width() - 8);
    for (const QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
        // Check and option boxes draw their mark before the text.
        const bool marked =
            qobject_cast<const QCheckBox*>(button) || qobject_cast<const QRadioButton*>(button);
        check(button->text(), button->font(), button->width() - (marked ? 20 : 8));
    }
    return clipped;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QStringList described(const sim::VirtualModule& module) {
    QStringList texts;
    for (const sim::VirtualModule::Command& command : module.commands())
        texts << sim::describe(command.bytes);
    return texts;
}

QStringList commands(const sim::VirtualModule& module) {
    QStringList texts = described(module);
    texts.removeAll(QStringLiteral("b"));
    return texts;
}

} // namespace korvane::test
