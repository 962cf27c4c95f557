// A stand-in for java.exe in the Windows build's tests under Wine. It appends
// the command line it was given and the current folder to the file that
// VELLOMAR_JAVA_LOG names. Asked for -version, it prints the version that
// VELLOMAR_JAVA_VERSION names (1.8.0_392 by default) and the name of a 64-bit
// VM to standard error, as Java does, and ends; but while the file
// VELLOMAR_JAVA_HANG names exists, it never ends, appending a line to that
// file five times a second. Asked for -XshowSettings:properties -version, as
// the search for Javas asks, it writes its line to the log's name followed by
// ".checks" instead, and prints the file java.properties beside it (or the
// properties of that version, 64-bit) before the version. Otherwise it prints
// a line, reads one line of console input, prints it back and ends; with
// VELLOMAR_JAVA_LATEST set, it first writes that line to logs\latest.log, as a
// server leaves its log. With VELLOMAR_JAVA_ERROR set, it instead writes that
// line to standard error and ends with status 1, as Java does when it cannot
// start the jar. As the server, it first says whether its standard output is
// the console and its standard error is not.

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
    bool settings = argc == 3 && std::strcmp(argv[1], "-XshowSettings:properties") == 0 &&
                    std::strcmp(argv[2], "-version") == 0;
    const char* log_env = std::getenv("VELLOMAR_JAVA_LOG");
    std::string log_name =
        std::string(log_env ? log_env : "java.log") + (settings ? ".checks" : "");
    if (FILE* log = std::fopen(log_name.c_str(), "ab")) {
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
    }
    const char* version_env = std::getenv("VELLOMAR_JAVA_VERSION");
    std::string version = version_env ? version_env : "1.8.0_392";
    if (settings) {
        char self[MAX_PATH] = "";
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string beside = self;
        beside = beside.substr(0, beside.find_last_of('\\') + 1) + "java.properties";
        std::fprintf(stderr, "Property settings:\n");
        if (FILE* properties = std::fopen(beside.c_str(), "rb")) {
            char chunk[4096];
            size_t got;
            while ((got = std::fread(chunk, 1, sizeof chunk, properties)) > 0)
                std::fwrite(chunk, 1, got, stderr);
            std::fclose(properties);
        } else {
            std::string release = version.compare(0, 2, "1.") == 0
                                      ? version.substr(0, 3)
                                      : version.substr(0, version.find('.'));
            std::fprintf(stderr,
                         "    java.specification.version = %s\n    java.version = %s\n"
                         "    sun.arch.data.model = 64\n\n",
                         release.c_str(), version.c_str());
        }
    }
    if (settings || (argc == 2 && std::strcmp(argv[1], "-version") == 0)) {
        std::fprintf(stderr, "java version \"%s\"\nJava HotSpot(TM) 64-Bit Server VM (stand-in)\n",
                     version.c_str());
        return 0;
    }
    DWORD mode = 0;
    bool out_console = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    bool err_console = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
    std::printf("console: standard output %s, standard error %s\n",
                out_console ? "the console" : "not", err_console ? "the console" : "not");
    std::fflush(stdout);
    if (const char* error = std::getenv("VELLOMAR_JAVA_ERROR")) {
        std::fprintf(stderr, "%s\r\n", error);
        return 1;
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
