#pragma once

// The terminal under the Linux build: escape sequences for what the Windows
// console does through its API, raw key reads, and putting everything back.

// Whatever draws on the terminal writes with write_all.
#include "base.h"

#include <string>
#include <string_view>

// What the program has changed in the terminal, undone by term_restore().
// changed_screen: the alternate screen is shown, entered after saving the
// cursor (ESC 7).
enum : int { changed_colour = 1, changed_cursor = 2, changed_title = 4, changed_screen = 8 };

// True when standard output is a terminal that understands escape sequences
// (decided once: isatty and a TERM other than "dumb").
bool smart();

// Writes an escape sequence to a smart terminal and records what it changes;
// writes nothing when output is not a smart terminal.
void escape(std::string_view seq, int changes);

// Shows the alternate screen on a smart terminal, the cursor and colours
// saved first. True when it did; false when it is shown already, or output is
// not a smart terminal. A stop (Ctrl+Z) takes the screen away again.
bool enter_screen();

// Leaves the alternate screen, bringing back the cursor and colours saved on
// entering; nothing when it is not shown.
void leave_screen();

// The sequence that moves the cursor to row, col (both counted from 0).
std::string cursor_at(int row, int col);

// Sets the window title (xterm's sequence) on a smart terminal; the title it
// had is put back by term_restore().
void set_title(std::string_view title);

// The SGR sequence that shows a console attribute's foreground colour.
std::string sgr(int attr);

// File descriptor of the controlling terminal, or -1 when there is none.
int tty();

// Waits up to timeout_ms (-1: without limit) for input on the terminal in raw
// mode, then reads what arrived together (an escape sequence, a pasted run).
// Returns the bytes read, 0 on timeout, -1 at end of input or on an error.
int raw_read(unsigned char* buf, int cap, int timeout_ms);

// Puts the terminal back as it was found: line mode and echo, cursor, colours,
// title. Safe to call from a signal handler, and more than once.
void term_restore();

// Arranges term_restore() at exit and on SIGINT, SIGTERM, SIGHUP and SIGQUIT,
// and on Ctrl+Z before the stop. Called once, before the first change.
void term_guard();

// Names a file to remove should a signal end the program before the file is
// finished (a download's temporary file); null forgets it. One at a time.
void doomed(const char* path);

// Saves the terminal's modes before a command runs in the foreground.
void term_save();

// Puts back the modes saved by term_save() once the command has ended.
void term_reload();
