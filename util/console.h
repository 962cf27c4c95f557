#pragma once

#include <cstdio>
#include <string>

// Console attribute for a colour name (bit 0 blue, 1 green, 2 red, 3 bright),
// or -1 when the name is not one of the fourteen known names.
int color_attr(std::string name);

// Sets the colour of everything written afterwards, commands' output included.
// An unknown name changes nothing.
void color(std::string name);

// Moves the cursor to column x, row y, counted from 0 at the top-left corner.
void setpos(int x, int y);

// Hides the cursor; it is shown again when the program ends.
void hide_cursor();

// With on, runs the program on a screen of its own, empty, where a terminal
// has one (the alternate screen of a terminal that takes escape sequences);
// the screen found, and its scrollback, come back with off and whichever way
// the program ends. Nothing elsewhere: a Windows console window opened for the
// program starts empty.
void own_screen(bool on);

// Writes text to standard output at once, nothing held back.
void print(std::string text);

// Sleeps the given milliseconds.
void pause_ms(int milliseconds);

// Writes text one character at a time, sleeping the given milliseconds after each.
void slow_print(std::string text, int milliseconds);

// True when the key with this virtual-key code is down at the moment of the call.
bool pass(char key);

// Waits for one key press without echo and returns its code; an arrow or
// function key gives two codes (224 or 0, then the key's), any other escape
// sequence the one code 27. Keys typed after it are left for the next call
// and for cin_space(). -1 at end of input. 0 when the program was stopped
// (Ctrl+Z) during the wait and continued on its own screen, empty again: no
// key was pressed, and what the screen showed wants drawing anew.
int get_key();

// Drops the keys typed so far and not yet read, on a console or terminal
// (what standard input holds otherwise stays).
void drop_keys();

// True when a key is pressed within the milliseconds, the key taken;
// false when none is (or at end of input, or when a stop and continue
// (Ctrl+Z) cut the wait short).
bool key_within(int milliseconds);

// Reads one line from standard input, skipping empty lines before it; the line
// feed, and a carriage return just before it, are not kept. Stops at end of
// input or on an error with what it has read, so the line is empty only then.
std::string cin_space();

// Reads one line from the stream as cin_space reads standard input.
std::string cin_line(std::FILE* in);
