// A stand-in for Windows PowerShell 5.1's powershell.exe in the Windows
// build's tests under Wine. It appends the command line it was given, byte
// for byte, to the file VELLOMAR_PS_LOG names, then reads it as powershell.exe
// does: its arguments (split as the C runtime splits them) joined with one
// blank into the command, whose words bind to the cmdlet's parameters as in
// 5.1 (posix/bind.h). What it then does:
//   Invoke-WebRequest (curl, iwr, wget) -Uri … -OutFile …: fetches from the
//     site of site.h, following up to -MaximumRedirection (5) redirects; an
//     HTTP error writes no file. Nothing else of the cmdlet is carried out.
//   curl.exe …: runs the first curl.exe on PATH (never from the current
//     folder), as a program of its own; not found, the term is unknown.
//   Expand-Archive: the archive must exist (-Path read as a wildcard,
//     -LiteralPath as written) and end in .zip; its content is the files of
//     the folder VELLOMAR_PS_PAYLOAD, copied into the destination (made when
//     missing). A file there already is an error, unless -Force, and the
//     others are still written.
//   Compress-Archive: -Path read as a wildcard (its last part), -LiteralPath
//     as written; an existing destination is an error, unless -Force or
//     -Update; ".zip" is added to a destination without an extension. Hidden
//     and system files are left out, as 5.1 leaves them; with nothing to
//     store, no archive is made. The archive written is a text file naming
//     what it stands for, one name a line.
// Every failure prints PowerShell's first line of the error and ends with
// status 1, as powershell.exe does when the command failed.

#include "posix/bind.h"
#include "site.h"

#include <cstring>
#include <vector>

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Fails with PowerShell's words: the command's name, then the message.
int fail(const std::string& command, const std::string& message) {
    tell(command + " : " + message);
    return 1;
}

std::string fault_text(const ps_binding& bound) {
    switch (bound.fault) {
    case ps_fault::unknown:
        return "A parameter cannot be found that matches parameter name '" + bound.word + "'.";
    case ps_fault::ambiguous: {
        std::string list;
        for (const auto& name : bound.matches)
            list += " -" + name;
        return "Parameter cannot be processed because the parameter name '" + bound.word +
               "' is ambiguous. Possible matches include:" + list + ".";
    }
    case ps_fault::no_value:
        return "Missing an argument for parameter '" + bound.param +
               "'. Specify a parameter of type 'System.String' and try again.";
    case ps_fault::twice:
        return "Cannot bind parameter because parameter '" + bound.param +
               "' is specified more than once. To provide multiple values to parameters that can "
               "accept multiple values, use the array syntax. For example, \"-parameter "
               "value1,value2,value3\".";
    case ps_fault::positional:
        return "A positional parameter cannot be found that accepts argument '" + bound.word + "'.";
    case ps_fault::sets:
        return "Parameter set cannot be resolved using the specified named parameters.";
    case ps_fault::none:
        break;
    }
    return {};
}

DWORD attributes(const std::string& path) {
    return GetFileAttributesW(wide(path).c_str());
}

bool exists(const std::string& path) {
    return attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool is_folder(const std::string& path) {
    DWORD a = attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string full(const std::string& path) {
    wchar_t out[MAX_PATH];
    DWORD n = GetFullPathNameW(wide(path).c_str(), MAX_PATH, out, nullptr);
    return n > 0 && n < MAX_PATH ? utf8(std::wstring(out, n)) : path;
}

// The names in folder (not "." or ".."), each with its attributes.
std::vector<std::pair<std::string, DWORD>> entries(const std::string& folder) {
    std::vector<std::pair<std::string, DWORD>> found;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(wide((folder.empty() ? "." : folder) + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        std::string name = utf8(data.cFileName);
        if (name != "." && name != "..") found.emplace_back(name, data.dwFileAttributes);
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return found;
}

// What a -Path value names: its last part matched as a wildcard pattern in
// its folder, or the path itself when it holds no wildcard.
std::vector<std::string> resolve(const std::string& path) {
    if (!ps_wild(path))
        return exists(path) ? std::vector<std::string>{path} : std::vector<std::string>{};
    size_t cut = path.find_last_of("\\/");
    std::string folder = cut == std::string::npos ? "" : path.substr(0, cut);
    std::string pattern = cut == std::string::npos ? path : path.substr(cut + 1);
    std::vector<std::string> found;
    for (const auto& [name, attributes] : entries(folder))
        if (ps_match(pattern, name)) found.push_back(folder.empty() ? name : folder + "\\" + name);
    return found;
}

// Makes the folder and its missing parents; true when it is there.
bool make_folders(const std::string& path) {
    std::string whole = full(path);
    for (size_t at = whole.find('\\', 3); at != std::string::npos; at = whole.find('\\', at + 1))
        CreateDirectoryW(wide(whole.substr(0, at)).c_str(), nullptr);
    CreateDirectoryW(wide(whole).c_str(), nullptr);
    return is_folder(whole);
}

std::string not_found(const std::string& path) {
    return "The path '" + path + "' either does not exist or is not a valid file system path.";
}

// Binds the words; a failure is said and returned as 1, success as 0.
int bind(const std::string& cmdlet, const std::vector<ps_word>& words,
         const std::vector<ps_param>& params, ps_binding& bound) {
    bound = ps_bind(words, params);
    return bound.fault == ps_fault::none ? 0 : fail(cmdlet, fault_text(bound));
}

int web_request(const std::vector<ps_word>& words) {
    const std::string me = "Invoke-WebRequest";
    auto params = ps_parameters(me);
    ps_binding bound;
    if (bind(me, words, params, bound)) return 1;
    std::string uri = ps_value(bound, params, "Uri"), out = ps_value(bound, params, "OutFile");
    if (uri.empty())
        return fail(
            me, "Cannot process command because of one or more missing mandatory parameters: Uri.");
    if (out.empty()) return fail(me, "(stand-in) only a download to -OutFile is carried out.");
    std::string most = ps_value(bound, params, "MaximumRedirection");
    int hops = most.empty() ? 5 : std::atoi(most.c_str());
    answer got = ask(uri);
    for (; !got.location.empty(); got = ask(got.location))
        if (hops-- == 0)
            return fail(me,
                        "The maximum redirection count has been exceeded. To increase the number "
                        "of redirections allowed, supply a higher value to the "
                        "-MaximumRedirection parameter.");
    if (got.status >= 400) {
        std::string body = got.body;
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
            body.pop_back();
        return fail(me, body.empty() ? "The remote server returned an error: (" +
                                           std::to_string(got.status) + ")."
                                     : body);
    }
    return save(got, wide(out)) ? 0 : fail(me, "Could not write the file '" + full(out) + "'.");
}

// Runs curl.exe as PowerShell runs a program: found on PATH, its arguments
// quoted where they hold blanks; the status is 1 when it failed.
int native(const std::vector<ps_word>& words) {
    const std::string name = words[0].text;
    std::string path;
    std::string dirs = env("PATH");
    for (size_t at = 0; at <= dirs.size() && path.empty();) {
        size_t end = dirs.find(';', at);
        std::string dir = dirs.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? dirs.size() + 1 : end + 1;
        if (!dir.empty() && exists(dir + "\\" + name) && !is_folder(dir + "\\" + name))
            path = dir + "\\" + name;
    }
    if (path.empty())
        return fail(name,
                    "The term '" + name +
                        "' is not recognized as the name of a cmdlet, function, script file, "
                        "or operable program. Check the spelling of the name, or if a path was "
                        "included, verify that the path is correct and try again.");
    std::string line = "\"" + path + "\"";
    for (size_t i = 1; i < words.size(); ++i)
        line += words[i].text.find(' ') != std::string::npos ? " \"" + words[i].text + "\""
                                                             : " " + words[i].text;
    std::wstring command = wide(line);
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(wide(path).c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &start, &child))
        return fail(name, "Program '" + name + "' failed to run.");
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return status == 0 ? 0 : 1;
}

// The one archive an Expand-Archive binding names, or empty after failing.
std::string archive_named(const ps_binding& bound, const std::vector<ps_param>& params,
                          int& status) {
    const std::string me = "Expand-Archive";
    std::string literal = ps_value(bound, params, "LiteralPath"),
                path = ps_value(bound, params, "Path");
    std::vector<std::string> found = literal.empty()   ? resolve(path)
                                     : exists(literal) ? std::vector<std::string>{literal}
                                                       : std::vector<std::string>{};
    std::string written = literal.empty() ? path : literal;
    status = 1;
    if (found.size() > 1)
        fail(me, "The archive file path '" + written +
                     "' specified as input to the Path parameter is resolving to multiple file "
                     "system paths. Provide a unique path to the Path parameter where the archive "
                     "file has to be created.");
    else if (found.empty() || is_folder(found[0]))
        fail(me, not_found(written));
    else if (found[0].size() < 4 || _stricmp(found[0].c_str() + found[0].size() - 4, ".zip") != 0)
        fail(me, found[0] + " is not a supported archive file format. .zip is the only supported "
                            "archive file format.");
    else
        status = 0;
    return status == 0 ? found[0] : "";
}

int expand_archive(const std::vector<ps_word>& words) {
    const std::string me = "Expand-Archive";
    auto params = ps_parameters(me);
    ps_binding bound;
    if (bind(me, words, params, bound)) return 1;
    if (ps_value(bound, params, "Path").empty() && ps_value(bound, params, "LiteralPath").empty())
        return fail(
            me,
            "Cannot process command because of one or more missing mandatory parameters: Path.");
    int status = 0;
    std::string zip = archive_named(bound, params, status);
    if (status) return status;
    std::string dest = ps_value(bound, params, "DestinationPath");
    if (dest.empty()) dest = zip.substr(0, zip.size() - 4);
    if (!make_folders(dest)) return fail(me, not_found(dest));
    bool force = !ps_value(bound, params, "Force").empty();
    std::string payload = env("VELLOMAR_PS_PAYLOAD");
    for (const auto& [name, attributes] : entries(payload)) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::string target = full(dest + "\\" + name);
        if (exists(target) && !force) {
            fail(me, "Failed to create file '" + target + "' while expanding the archive file '" +
                         full(zip) + "' contents as the file '" + target +
                         "' already exists. Use the -Force parameter if you want to overwrite the "
                         "existing directory '" +
                         target + "' contents when expanding the archive file.");
            status = 1;
            continue;
        }
        if (!CopyFileW(wide(payload + "\\" + name).c_str(), wide(target).c_str(), FALSE))
            status = 1;
    }
    return status;
}

// Counts what Compress-Archive stores of path: its files and empty folders,
// hidden and system ones left out.
int stored(const std::string& path) {
    const DWORD left_out = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (!is_folder(path)) return 1;
    int count = 0;
    for (const auto& [name, attributes] : entries(path)) {
        if (attributes & left_out) continue;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ++count;
        } else {
            int inside = stored(path + "\\" + name);
            count += inside ? inside : 1;
        }
    }
    return count;
}

int compress_archive(const std::vector<ps_word>& words) {
    const std::string me = "Compress-Archive";
    auto params = ps_parameters(me);
    ps_binding bound;
    if (bind(me, words, params, bound)) return 1;
    std::string literal = ps_value(bound, params, "LiteralPath"),
                path = ps_value(bound, params, "Path");
    std::string dest = ps_value(bound, params, "DestinationPath");
    if ((literal.empty() && path.empty()) || dest.empty())
        return fail(me,
                    "Cannot process command because of one or more missing mandatory parameters: " +
                        std::string(dest.empty() ? "DestinationPath." : "Path."));
    size_t cut = dest.find_last_of("\\/");
    std::string parent = cut == std::string::npos ? "." : dest.substr(0, cut);
    if (dest.find('.', cut == std::string::npos ? 0 : cut + 1) == std::string::npos) dest += ".zip";
    if (!is_folder(parent)) return fail(me, not_found(parent));
    bool replace =
        !ps_value(bound, params, "Force").empty() || !ps_value(bound, params, "Update").empty();
    if (exists(dest) && !replace)
        return fail(me, "The archive file " + full(dest) +
                            " already exists. Use the -Update parameter to update the existing "
                            "archive file or use the -Force parameter to overwrite the existing "
                            "archive file.");
    std::vector<std::string> found = literal.empty()   ? resolve(path)
                                     : exists(literal) ? std::vector<std::string>{literal}
                                                       : std::vector<std::string>{};
    if (found.empty()) return fail(me, not_found(literal.empty() ? path : literal));
    int count = 0;
    std::string listed = "stands for a zip of:\n";
    for (const auto& source : found) {
        count += stored(source);
        listed += source + "\n";
    }
    if (count == 0) return 0;
    FILE* zip = _wfopen(wide(dest).c_str(), L"wb");
    if (!zip) return fail(me, "Could not write the file '" + full(dest) + "'.");
    bool ok = std::fwrite(listed.data(), 1, listed.size(), zip) == listed.size();
    return std::fclose(zip) == 0 && ok ? 0 : 1;
}

} // namespace

int main() {
    const char* raw = GetCommandLineA();
    if (FILE* log = std::fopen(env("VELLOMAR_PS_LOG").c_str(), "ab")) {
        std::fwrite(raw, 1, std::strlen(raw), log);
        std::fputc('\n', log);
        std::fclose(log);
    }
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring command;
    for (int i = 1; i < argc; ++i)
        command += (i > 1 ? L" " : L"") + std::wstring(argv[i]);
    auto words = ps_words(utf8(command));
    if (words.empty()) return 0;
    std::string name = words[0].text;
    if (_stricmp(name.c_str(), "curl.exe") == 0) return native(words);
    std::string cmdlet = ps_cmdlet(name);
    if (cmdlet == "Invoke-WebRequest") return web_request(words);
    if (cmdlet == "Expand-Archive") return expand_archive(words);
    if (cmdlet == "Compress-Archive") return compress_archive(words);
    return fail(name, "The term '" + name +
                          "' is not recognized as the name of a cmdlet, function, script file, or "
                          "operable program. Check the spelling of the name, or if a path was "
                          "included, verify that the path is correct and try again.");
}
