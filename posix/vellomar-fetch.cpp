// The download of the PowerShell stand-in as a program of its own, the one
// that links libcurl: vellomar-fetch URL FILE downloads URL into FILE (see
// fetch.h) and exits with its status. vellomar-powershell becomes this program
// for its download command.

#include "base.h"
#include "fetch.h"
#include "term.h"

int main(int argc, char** argv) {
    // Armed before any work, as in vellomar-powershell.
    term_guard();
    if (argc != 3) {
        say("用法: vellomar-fetch 地址 文件");
        return 1;
    }
    return fetch(argv[1], argv[2]) & 0xff;
}
