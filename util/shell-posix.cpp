#include "shell.h"

#include "console.h"
#include "posix/cmd.h"

int shell(std::string line) {
    return cmd(as_written(line));
}

int shell_errors(std::string line, std::string& errors) {
    errors.clear();
    errors_to to{&errors, error_bytes};
    return cmd(as_written(line), nullptr, &to);
}

int shell_output(std::string line, std::string& output, int seconds) {
    output.clear();
    output_to to{&output, seconds, output_bytes};
    int status = cmd(as_written(line), &to);
    if (status == ran_out) {
        std::string why = overran(seconds);
        print(why);
        output += why;
        return timed_out;
    }
    return status;
}
