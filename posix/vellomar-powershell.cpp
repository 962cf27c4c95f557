// The PowerShell stand-in as a program of its own, as PowerShell is on
// Windows: vellomar-powershell 'curl  -o FILE URL' carries out the command
// (several arguments are joined with blanks) and exits with its status. The
// cmd stand-in runs it, from the running program's folder, for every line
// that begins with "powershell".

#include "powershell.h"
#include "term.h"

#include <string>

int main(int argc, char** argv) {
    // Armed before any work, so that a signal that ends the program finds the
    // handlers that put the terminal back and remove the file being written.
    term_guard();
    std::string command;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) command += ' ';
        command += argv[i];
    }
    return powershell(command) & 0xff;
}
