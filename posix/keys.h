#pragma once

// Keys as a terminal sends them: where one key press ends in what was read,
// the codes the Windows console's _getch gives for it, and what was typed
// after it for the line reader.

#include <cstddef>
#include <string>
#include <string_view>

// Bytes in the key press at the start of bytes: a whole escape sequence (CSI
// ESC [ parameters final, SS3 ESC O x, ESC before a sequence or one other
// character, a lone ESC), else one byte. 0 when bytes are empty or end inside
// an escape sequence that may still go on.
std::size_t key_length(std::string_view bytes);

// The codes _getch gives for one key press as key_length() delimits it: a
// lead code (224 or 0) and the key's code for an arrow or function key, with
// Shift, Ctrl or Alt held or not; 27 for Escape and for any other escape
// sequence, which chooses nothing; the byte itself for any other key.
std::string key_codes(std::string_view key);

// Waits up to timeout_ms (-1: without limit) for a key press on the terminal
// and returns its bytes; what arrived after it is kept for the next read
// (unread). Empty on timeout, at end of input or on an error.
std::string read_key(int timeout_ms);

// When standard input is the terminal, reads a line from it as the
// terminal's line mode would, echoed, what was typed after the last key
// (kept by read_key) first: a carriage return or line feed ends the line and
// is not kept; the erase, kill and word-erase characters remove a character,
// the line, a word. When a stop and continue takes the held screen again
// (retaken()), the prompt (see written()) and the line typed so far are drawn
// again at its top. Returns 1 at the line end, -1 at an end of input (Ctrl+D)
// before the line's first character or when the terminal is gone, 0 when
// standard input is not the terminal.
int edit_line(std::string& line);

// Records text the program wrote to standard output, colour sequences
// included: what follows its last line end, in the colour in force there, is
// the prompt edit_line() draws again.
void written(std::string_view text);
