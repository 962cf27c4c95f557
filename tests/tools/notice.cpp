// Shows one notice for the end-to-end tests:
//   notice [--own-screen] mes|yes_no TEXT CAPTION [BEFORE]
// with --own-screen takes a screen of its own first (own_screen), then writes
// BEFORE, sets the colour green, shows the notice, then writes "<<answer>>"
// (ok, yes or no) and a line end in whatever colour is in force.

#include "util/console.h"
#include "util/dialogs.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    bool own = argc > 1 && std::string(argv[1]) == "--own-screen";
    if (own) {
        --argc;
        ++argv;
    }
    if (argc < 4 || (std::string(argv[1]) != "mes" && std::string(argv[1]) != "yes_no")) {
        std::fputs("usage: notice [--own-screen] mes|yes_no TEXT CAPTION [BEFORE]\n", stderr);
        return 2;
    }
    if (own) own_screen(true);
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
