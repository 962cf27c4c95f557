// A stand-in for java.exe in the Windows build's tests under Wine. It appends
// the command line it was given and the current folder to the file that
// VELLOMAR_JAVA_LOG names. Asked for -version, it prints what a 64-bit Java
// of the version VELLOMAR_JAVA_VERSION names (1.8.0_392 by default) prints to
// standard error, and ends; but while the file VELLOMAR_JAVA_HANG names
// exists, it never ends, appending a line to that file five times a second.
// Asked for -XshowSettings:properties -version, as the search for Javas and
// the check of a typed answer ask, it writes its line to the log's name
// followed by ".checks" instead, and prints "Property settings:" and then the
// file java.properties beside it (what a Java prints after that line), or
// the properties of that version, 64-bit, and its version lines. Otherwise it
// prints a line, reads one line of console input, prints it back and ends;
// with VELLOMAR_JAVA_LATEST set, it first writes that line to
// logs\latest.log, as a server leaves its log. With VELLOMAR_JAVA_ERROR set,
// it instead writes that line to standard error and ends with status 1, as
// Java does when it cannot start the jar. As the server, it first says
// whether its standard output is the console and its standard error is not.

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
    bool old_form = version.compare(0, 2, "1.") == 0;
    // What a 64-bit Temurin of the version prints, in its own words.
    std::string update = version.substr(version.find('_') + 1);
    std::string lines =
        old_form
            ? "openjdk version \"" + version + "\"\nOpenJDK Runtime Environment (Temurin)(build " +
                  version + "-b08)\nOpenJDK 64-Bit Server VM (Temurin)(build 25." + update +
                  "-b08, mixed mode)\n"
            : "openjdk version \"" + version +
                  "\" 2023-10-17\nOpenJDK Runtime Environment Temurin-" + version + "+9 (build " +
                  version + "+9)\nOpenJDK 64-Bit Server VM Temurin-" + version + "+9 (build " +
                  version + "+9, mixed mode, sharing)\n";
    if (settings) {
        char self[MAX_PATH] = "";
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string home = self;
        home = home.substr(0, home.find_last_of('\\'));
        std::string beside = home + "\\java.properties";
        home = home.substr(0, home.find_last_of('\\'));
        std::fprintf(stderr, "Property settings:\n");
        if (FILE* properties = std::fopen(beside.c_str(), "rb")) {
            char chunk[4096];
            size_t got;
            while ((got = std::fread(chunk, 1, sizeof chunk, properties)) > 0)
                std::fwrite(chunk, 1, got, stderr);
            std::fclose(properties);
            return 0;
        }
        std::string release =
            old_form ? version.substr(0, 3) : version.substr(0, version.find('.'));
        std::fprintf(stderr,
                     "    file.encoding = GBK\n    java.home = %s\n"
                     "    java.specification.version = %s\n    java.version = %s\n"
                     "    java.vm.name = OpenJDK 64-Bit Server VM\n    os.arch = amd64\n"
                     "    os.name = Windows 10\n    sun.arch.data.model = 64\n"
                     "    user.language = zh\n\n",
                     home.c_str(), release.c_str(), version.c_str());
    }
    if (settings || (argc == 2 && std::strcmp(argv[1], "-version") == 0)) {
        std::fputs(lines.c_str(), stderr);
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
