// A stand-in for java.exe in the Windows build's tests under Wine. It appends
// the command line it was given and the current folder to the file that
// VELLOMAR_JAVA_LOG names. Asked for -version, it prints the version that
// VELLOMAR_JAVA_VERSION names (1.8.0_392 by default) to standard error, as
// Java does, and ends; but while the file VELLOMAR_JAVA_HANG names exists, it
// never ends, appending a line to that file five times a second. Otherwise it
// prints a line, reads one line of console input, prints it back and ends;
// with VELLOMAR_JAVA_LATEST set, it first writes that line to logs\latest.log,
// as a server leaves its log.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <string>
#include <windows.h>

int main(int argc, char** argv) {
    char folder[MAX_PATH] = "";
    _getcwd(folder, sizeof folder);
    const char* line = GetCommandLineA();
    const char* log_name = std::getenv("VELLOMAR_JAVA_LOG");
    if (FILE* log = std::fopen(log_name ? log_name : "java.log", "ab")) {
        std::fprintf(log, "%s\n%s\n", line, folder);
        std::fclose(log);
    }
    if (argc == 2 && std::strcmp(argv[1], "-version") == 0) {
        const char* hang = std::getenv("VELLOMAR_JAVA_HANG");
        while (hang && *hang) {
            FILE* beat = std::fopen(hang, "r+b");
            if (!beat) break;
            std::fseek(beat, 0, SEEK_END);
            std::fputs("still running\n", beat);
            std::fclose(beat);
            Sleep(200);
        }
        const char* version = std::getenv("VELLOMAR_JAVA_VERSION");
        std::fprintf(stderr, "java version \"%s\"\n", version ? version : "1.8.0_392");
        return 0;
    }
    if (const char* latest = std::getenv("VELLOMAR_JAVA_LATEST")) {
        _mkdir("logs");
        if (FILE* log = std::fopen("logs\\latest.log", "wb")) {
            std::fprintf(log, "%s\r\n", latest);
            std::fclose(log);
        }
    }
    std::printf("stand-in server running\n");
    std::fflush(stdout);
    char typed[256] = "";
    if (std::fgets(typed, sizeof typed, stdin)) std::printf("console read: %s", typed);
    std::fflush(stdout);
    return 0;
}
