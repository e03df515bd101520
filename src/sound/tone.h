#pragma once

#include <vector>

namespace korvane {

// The tone played when a sound file is missing or unreadable: 200 ms at 880 Hz,
// mono, with short fades so it starts and ends without a click.
std::vector<float> makeDefaultTone(int sampleRate);

} // namespace korvane
