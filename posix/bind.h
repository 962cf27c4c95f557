#pragma once

// How Windows PowerShell 5.1 reads a command: its words, and how they bind to
// the parameters of the cmdlets the system runs. Plain C++ with nothing else
// of ours, so that the Windows tests' PowerShell stand-in shares it.

#include <string>
#include <string_view>
#include <vector>

// A word of a command; quoted when it began with a quote, which makes it a
// value even when it looks like a parameter's name ('-d').
struct ps_word {
    std::string text;
    bool quoted = false;
};

// The words of a command, in UTF-8, as PowerShell's parser reads them: blanks
// separate; a single quote (' and the typographic ‘ ’ ‚ ‛) holds text as it is
// until the next one, two in a row standing for one; a double quote (" “ ” „)
// holds text up to the next one, a backtick escaping the character after it.
// A word that begins with a quote ends with it; a bare word takes in quoted
// parts. Variables are not expanded.
std::vector<ps_word> ps_words(std::string_view line);

// A cmdlet's parameter: its name, aliases, whether it is a switch (takes no
// value), its position for unnamed values (-1: named only) and the parameter
// set it belongs to (0: every set).
struct ps_param {
    std::string name;
    std::vector<std::string> aliases;
    bool is_switch = false;
    int position = -1;
    int set = 0;
};

// The parameters of Invoke-WebRequest, Expand-Archive or Compress-Archive as
// Windows PowerShell 5.1 has them (its Archive module 1.0.1.0), the common
// parameters last; empty for any other name. Case is ignored.
std::vector<ps_param> ps_parameters(std::string_view cmdlet);

// The cmdlet a command name stands for in Windows PowerShell 5.1, its aliases
// (curl, iwr, wget) read; empty for a name that is none of the three.
std::string ps_cmdlet(std::string_view name);

// Why words did not bind.
enum class ps_fault {
    none,
    unknown,    // no parameter has that name
    ambiguous,  // the name begins several parameters' names
    no_value,   // the parameter's value is missing
    twice,      // the parameter is given twice
    positional, // no positional parameter is left for a value
    sets,       // parameters of two sets are given
};

// What words bound to: each parameter's value (a switch's is "True") and
// whether it was given; or what stopped the binding.
struct ps_binding {
    std::vector<std::string> values;
    std::vector<bool> given;
    ps_fault fault = ps_fault::none;
    // The word at fault, as written without its dash; the parameter named,
    // for no_value and twice; the parameters matched, for ambiguous.
    std::string word;
    std::string param;
    std::vector<std::string> matches;
};

// Binds the words after the command's name to params as PowerShell does:
// names without regard to case, a name or alias written whole first, else one
// that the written name begins (-Out matches -OutFile alone); named values
// first, then the unnamed ones by position.
ps_binding ps_bind(const std::vector<ps_word>& words, const std::vector<ps_param>& params);

// The value of the parameter called name in a binding over params; empty
// when it was not given.
std::string ps_value(const ps_binding& bound, const std::vector<ps_param>& params,
                     std::string_view name);

// True when a name matches a PowerShell wildcard pattern (* ? [abc] [a-z],
// a backtick taking the next character as it is), case ignored for ASCII.
bool ps_match(std::string_view pattern, std::string_view name);

// True when text holds a character a wildcard pattern reads: * ? [ ].
bool ps_wild(std::string_view text);
