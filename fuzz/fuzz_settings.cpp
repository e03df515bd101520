// Fuzz target for config.dat: loads arbitrary bytes the way the program does, then
// checks that what was loaded survives a save and a fresh load unchanged.

#include "settings/config_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace korvane::config;

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

// The settings as the program holds them: input lines as bit masks.
struct LoadedSettings {
    SettingsRecord record;
    qint16 startButtonMask = 1;
    qint16 finishBeamMask = 1;
    int linesApplied = 0;

    friend bool operator==(const LoadedSettings&, const LoadedSettings&) = default;
};

bool storeInRange(qint16 value, int low, int high, qint16& target) {
    if (value < low || value > high)
        return false;
    target = value;
    return true;
}

// Input lines are held as masks; the line number kept is the one the mask gives back.
bool storeInputLine(qint16 line, qint16& mask, qint16& lineNumber) {
    const auto newMask = pinToMask(line);
    if (!newMask)
        return false;
    mask = *newMask;
    lineNumber = maskToPin(mask);
    check(lineNumber == (line < 0 ? 0 : line));
    return true;
}

// Applies one line with the load's range checks; false stops the load.
bool applyLine(int line, const QByteArray& value, LoadedSettings& settings) {
    SettingsRecord& record = settings.record;
    if (line == 2) {
        if (value != "T" && value != "F")
            return false;
        record.raceTimePanel = value == "T";
        return true;
    }
    const auto number = toInt16(value);
    if (!number)
        return false;
    switch (line) {
    case 0:
        return storeInRange(*number, 100, 500, record.beepSpeed);
    case 1:
        return storeInRange(*number, 0, 3, record.gateTiming);
    case 3:
        return storeInRange(*number, 0, 255, record.gate);
    case 4:
        return storeInRange(*number, 0, 255, record.red);
    case 5:
        return storeInRange(*number, 0, 255, record.orange);
    case 6:
        return storeInRange(*number, 0, 255, record.green);
    case 7:
        return storeInputLine(*number, settings.startButtonMask, record.startButtonLine);
    default:
        return storeInputLine(*number, settings.finishBeamMask, record.finishBeamLine);
    }
}

LoadedSettings load(const QByteArray& bytes) {
    LoadedSettings settings;
    FieldReader reader(bytes);
    for (int line = 0; line < Line_Count; ++line) {
        const auto field = reader.nextField();
        const auto value = field ? valueText(*field) : std::nullopt;
        if (!value || !applyLine(line, *value, settings))
            break;
        check(field->size() <= bytes.size());
        settings.linesApplied = line + 1;
    }
    return settings;
}

// Every field comes from its own line and every read moves on, so a full pass over
// the input yields at most one field per byte plus one.
void checkReaderProgress(const QByteArray& bytes) {
    FieldReader reader(bytes);
    qsizetype fields = 0;
    while (reader.nextField())
        check(++fields <= bytes.size() + 1);
    check(!reader.nextField());
}

// Any record, even one the load would refuse, must read back number for number.
void checkWriterRoundTrip(const uint8_t* data, size_t size) {
    std::array<qint16, Line_Count> values{};
    if (size < sizeof values)
        return;
    std::memcpy(values.data(), data, sizeof values);
    const SettingsRecord record{values[0], values[1], (values[2] & 1) != 0,
                                values[3], values[4], values[5],
                                values[6], values[7], values[8]};
    FieldReader reader(writeConfig(record));
    for (int line = 0; line < Line_Count; ++line) {
        const auto field = reader.nextField();
        check(field.has_value());
        const auto value = valueText(*field);
        check(value.has_value() && field->endsWith(lineLabels()[line]));
        if (line == 2)
            check(*value == (record.raceTimePanel ? "T" : "F"));
        else
            check(toInt16(*value) == values[line]);
    }
    check(!reader.nextField());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkReaderProgress(bytes);

    const LoadedSettings loaded = load(bytes);
    const QByteArray saved = writeConfig(loaded.record);
    LoadedSettings reloaded = load(saved);
    check(reloaded.linesApplied == Line_Count);
    reloaded.linesApplied = loaded.linesApplied;
    check(reloaded == loaded);
    check(writeConfig(reloaded.record) == saved);

    checkWriterRoundTrip(data, size);
    return 0;
}
