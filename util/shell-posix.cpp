#include "shell.h"

#include "posix/cmd.h"

int shell(std::string line) {
    return cmd(line);
}
