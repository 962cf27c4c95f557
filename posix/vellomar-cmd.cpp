// The cmd stand-in as a program of its own: runs one command line exactly as
// the launcher would, vellomar-cmd 'md a\b', and exits with its status.

#include "cmd.h"

#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    // A PowerShell line: this program becomes the PowerShell stand-in rather
    // than waiting for it with SIGINT ignored, as the launcher does, so that
    // a signal sent to this program alone still reaches the command.
    if (auto [name, rest] = command_of(line); name == "powershell") {
        std::string program = powershell_program(), command(rest);
        if (!program.empty()) {
            char* args[] = {program.data(), command.data(), nullptr};
            execv(args[0], args);
        }
    }
    return cmd(line) & 0xff;
}
