// The launcher: a menu in the console that installs the server (key 1),
// starts it (key 2) or leaves (key 3).

#include "util/console.h"
#include "util/files.h"
#include "util/shell.h"

#include <string>

// The key read at the last menu pass.
char a;
// The server number typed at the last install or start prompt, trimmed.
std::string server;
// The Java command, as typed at installation or read back at start.
std::string java;
// Full path of the banner program, beside the launcher in the start folder.
std::string out_put_ver = get_cd() + "\\out_put_ver.exe";
// Full path of the working folder, in the start folder.
std::string vellomar = get_cd() + "\\vellomar";

namespace {

// A path as one word of a command line: a start folder with a blank in its
// name would otherwise split the path in two.
std::string word(const std::string& path) {
    return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}

} // namespace

int main() {
    for (;;) {
        shell("title 下载服务器");
        setpos(0, 0);
        shell(word(out_put_ver));
        color("yellow");
        print("按1下载服务器\n");
        print("按2启动服务器\n");
        print("按3返回\n");
        int key = get_key();
        if (key < 0) return 0; // end of input: nobody is left to answer
        a = static_cast<char>(key);
        if (!file_check(vellomar)) make_folder(word(vellomar));
        cd(vellomar);
        if (a == '3') return 0;
    }
}
