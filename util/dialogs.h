#pragma once

// Notices (notice-posix.cpp, notice-win32.cpp), sound (sound-posix.cpp,
// sound-win32.cpp: the library vellomar_sound, linked only by who plays one)
// and the clock (clock.cpp).

#include <string>

// Shows a modal notice titled caption with text and an OK button; returns once
// the user has closed it.
void mes(std::string text, std::string caption);

// Shows a modal notice titled caption with text and Yes and No buttons; true
// when the user chose Yes.
bool mes_yes_no(std::string text, std::string caption);

// Starts playing the WAV file name and returns at once while it plays; a sound
// still playing is stopped first. True when playback started.
bool play_sounds(std::string name);

// The current local year in full, read from the clock at the call.
int year();

// The current local month, 1 to 12.
int month();

// The current local day of the month, from 1.
int day();

// The current local hour, 0 to 23.
int hour();

// The current local minute, 0 to 59.
int minute();

// The current local second, from 0 (60 on a leap second).
int second();

// Milliseconds on a clock that only moves forward (not set with the time of
// day), from a start of its own.
long long steady_ms();
