#pragma once

// The terminal under the Linux build: escape sequences for what the Windows
// console does through its API, raw key reads, and putting everything back.

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

// Shows the alternate screen, as enter_screen() does, and keeps it until
// release_screen() or the end: a stop (Ctrl+Z) gives the screen found back to
// the shell, and continuing takes the alternate screen again, empty. False
// when output is not a smart terminal or the alternate screen is shown already.
bool hold_screen();

// Gives back the screen hold_screen() took: the screen found comes back.
void release_screen();

// True while the program holds the alternate screen (hold_screen()).
bool screen_held();

// How many times continuing after a stop has taken the held screen again,
// empty: what it showed wants drawing anew.
int retaken();

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
// Bytes handed back with unread() come first, at once. Returns the bytes
// read, 0 on timeout or once a stop and continue has taken the held screen
// again (see retaken()), -1 at end of input or on an error.
int raw_read(unsigned char* buf, int cap, int timeout_ms);

// Hands back bytes that raw_read() gave and their reader did not use, such as
// keys typed after the one it took: they come before anything read later.
void unread(std::string_view bytes);

// Takes all the bytes handed back with unread() and not read since.
std::string take_unread();

// Puts the terminal back as it was found: line mode and echo, cursor, colours,
// title. Safe to call from a signal handler, and more than once.
void term_restore();

// Arranges term_restore() at exit and on SIGINT, SIGTERM, SIGHUP and SIGQUIT,
// and on Ctrl+Z before the stop. Called once, before the first change.
void term_guard();

// Names a file, or with folder a folder and all it holds, to remove should a
// signal end the program before it is finished (a download's temporary file,
// an extraction's staging folder); null forgets it. One at a time.
void doomed(const char* path, bool folder = false);

// Records whether a line without its end (a progress line) is on screen: a
// signal that ends the program ends the line first.
void open_line(bool open);

// Names the command now running in the foreground (0: none; -pgid: a process
// group). While it runs, SIGTERM and SIGHUP sent to the program (and SIGINT
// and SIGQUIT, unless ignored) are passed on to it instead of ending the
// program at once.
void foreground(int pid);

// True once a signal has been passed on to the foreground command: the
// program ends by it once the command has ended (end_as_signalled()).
bool passed_on();

// Once the foreground command has ended: when a signal was passed on to it,
// puts the terminal back and ends the program by that signal; else returns.
void end_as_signalled();

// Saves the terminal's modes before a command runs in the foreground.
void term_save();

// Puts back the modes saved by term_save() once the command has ended.
void term_reload();
