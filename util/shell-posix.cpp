#include "shell.h"

#include "posix/cmd.h"

int shell(std::string line) {
    return cmd(line);
}

int shell_output(std::string line, std::string& output) {
    output.clear();
    return cmd(line, &output);
}
