// Shows one notice for the end-to-end tests:
//   notice mes|yes_no TEXT CAPTION [BEFORE]
// writes BEFORE, sets the colour green, shows the notice, then writes
// "<<answer>>" (ok, yes or no) and a line end in whatever colour is in force.

#include "util/console.h"
#include "util/dialogs.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4 || (std::string(argv[1]) != "mes" && std::string(argv[1]) != "yes_no")) {
        std::fputs("usage: notice mes|yes_no TEXT CAPTION [BEFORE]\n", stderr);
        return 2;
    }
    if (argc > 4) print(argv[4]);
    color("green");
    std::string answer = "ok";
    if (std::string(argv[1]) == "mes")
        mes(argv[2], argv[3]);
    else
        answer = mes_yes_no(argv[2], argv[3]) ? "yes" : "no";
    print("<<" + answer + ">>\n");
    return 0;
}
