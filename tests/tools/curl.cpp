// A stand-in for Windows' own curl.exe in the Windows build's tests under
// Wine, placed in System32 by the tests that want one. It reads its
// arguments and its default config file as curl does, and fetches from the
// site of site.h:
//   - the config file, unless the first argument is -q: .curlrc, else
//     _curlrc, in the first of CURL_HOME, XDG_CONFIG_HOME, HOME, USERPROFILE,
//     APPDATA and USERPROFILE\Application Data that holds one, else beside
//     curl.exe; one option a line, the dashes optional, "#" lines skipped;
//   - -o/--output FILE, -L/--location, -f/--fail, -s/--silent,
//     -S/--show-error, short ones run together (-fsSL); anything else that
//     begins with "-" is an unknown option (status 2);
//   - without -L a redirect's own body is saved; with it, up to 50 are
//     followed;
//   - an HTTP error's body is saved and the status is 0, unless -f: then no
//     file, "curl: (22) The requested URL returned error: N", status 22.
// Its command line and the config file it read are appended to the file
// VELLOMAR_CURL_LOG names. No progress meter is drawn.

#include "site.h"

#include <vector>

namespace {

struct options {
    std::wstring output;
    std::string url;
    bool location = false, fail = false;
    std::string unknown;
};

// Applies one option (with its value, when it takes one); false when it is
// not an option curl knows here.
bool apply(options& o, const std::string& name, const std::string& value, bool& took) {
    took = false;
    if (name == "-o" || name == "--output") {
        o.output = wide(value);
        took = true;
    } else if (name == "-L" || name == "--location") {
        o.location = true;
    } else if (name == "-f" || name == "--fail") {
        o.fail = true;
    } else if (name != "-s" && name != "--silent" && name != "-S" && name != "--show-error") {
        return false;
    }
    return true;
}

// Reads the arguments; short options run together are taken one by one.
void read(options& o, const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size() && o.unknown.empty(); ++i) {
        const std::string& arg = args[i];
        std::string next = i + 1 < args.size() ? args[i + 1] : "";
        bool took = false;
        if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-') {
            for (size_t k = 1; k < arg.size() && o.unknown.empty(); ++k) {
                std::string one = std::string("-") + arg[k];
                // A short option with a value takes the rest, or the next word.
                std::string rest = arg.substr(k + 1);
                if (!apply(o, one, rest.empty() ? next : rest, took)) o.unknown = one;
                if (took) {
                    if (rest.empty()) ++i;
                    break;
                }
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            if (!apply(o, arg, next, took)) o.unknown = arg;
            if (took) ++i;
        } else {
            o.url = arg;
        }
    }
}

// The options of a config file's text, as command-line words.
std::vector<std::string> config_words(const std::string& text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        line.erase(0, start);
        size_t cut = line.find_first_of(" \t=:");
        std::string name = line.substr(0, cut);
        if (name[0] != '-') name = "--" + name;
        words.push_back(name);
        size_t from = cut == std::string::npos ? cut : line.find_first_not_of(" \t=:", cut);
        if (from != std::string::npos) {
            std::string value = line.substr(from);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            words.push_back(value);
        }
    }
    return words;
}

// The default config file curl reads, empty when there is none.
std::wstring config_file() {
    std::vector<std::wstring> homes;
    for (const wchar_t* name :
         {L"CURL_HOME", L"XDG_CONFIG_HOME", L"HOME", L"USERPROFILE", L"APPDATA"})
        if (const wchar_t* value = _wgetenv(name); value && *value) homes.push_back(value);
    if (const wchar_t* profile = _wgetenv(L"USERPROFILE"); profile && *profile)
        homes.push_back(std::wstring(profile) + L"\\Application Data");
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe(self, n);
    homes.push_back(exe.substr(0, exe.find_last_of(L'\\')));
    for (const auto& home : homes)
        for (const wchar_t* name : {L"\\.curlrc", L"\\_curlrc"}) {
            DWORD attributes = GetFileAttributesW((home + name).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                return home + name;
        }
    return {};
}

std::string file_text(const std::wstring& path) {
    std::string text;
    if (FILE* in = _wfopen(path.c_str(), L"rb")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
            text.append(buffer, n);
        std::fclose(in);
    }
    return text;
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(utf8(argv[i]));
    std::wstring config = !args.empty() && (args[0] == "-q" || args[0] == "--disable")
                              ? std::wstring()
                              : config_file();
    if (const char* log_name = std::getenv("VELLOMAR_CURL_LOG"))
        if (FILE* log = _wfopen(wide(log_name).c_str(), L"ab")) {
            std::string line = utf8(GetCommandLineW()) + "\nconfig: " + utf8(config) + "\n";
            std::fwrite(line.data(), 1, line.size(), log);
            std::fclose(log);
        }
    options o;
    if (!config.empty()) read(o, config_words(file_text(config)));
    read(o, args);
    if (!o.unknown.empty()) {
        tell("curl: option " + o.unknown + ": is unknown");
        tell("curl: try 'curl --help' for more information");
        return 2;
    }
    if (o.url.empty()) {
        tell("curl: no URL specified!");
        return 2;
    }
    answer got = ask(o.url);
    for (int hops = 0; o.location && !got.location.empty(); ++hops) {
        if (hops == 50) {
            tell("curl: (47) Maximum (50) redirects followed");
            return 47;
        }
        got = ask(got.location);
    }
    if (o.fail && got.status >= 400) {
        tell("curl: (22) The requested URL returned error: " + std::to_string(got.status));
        return 22;
    }
    if (o.output.empty()) {
        std::fwrite(got.body.data(), 1, got.body.size(), stdout);
        return 0;
    }
    if (!save(got, o.output)) {
        tell("curl: (23) Failure writing output to destination");
        return 23;
    }
    return 0;
}
