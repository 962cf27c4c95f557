#include "javas.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <tuple>

namespace {

// What a candidate may print before it is taken for something else: a Java
// prints a few kilobytes.
constexpr size_t most_printed = 64 * 1024;

struct found_so_far {
    std::vector<std::string> paths;
    std::set<std::tuple<DWORD, DWORD, DWORD>> files; // volume, file index
};

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A folder as the registry or a variable gives it: without quotes around it
// or a separator after it.
std::string folder_of(std::string text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
    while (!text.empty() && (text.back() == '\\' || text.back() == '/'))
        text.pop_back();
    return text;
}

// Adds path when it is a file and no name found before leads to the same
// file, kept by its full name.
bool add(found_so_far& found, const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!known) return false;
    if (found.files.insert({info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow})
            .second) {
        char full[MAX_PATH];
        DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
        found.paths.push_back(length > 0 && length < MAX_PATH ? std::string(full, length) : path);
    }
    return true;
}

// A Java's own folder: its bin\java.exe, or a JDK 8's jre\bin\java.exe.
void add_home(found_so_far& found, const std::string& text) {
    std::string home = folder_of(text);
    if (home.empty()) return;
    if (!add(found, home + "\\bin\\java.exe")) add(found, home + "\\jre\\bin\\java.exe");
}

// Every folder one level below folder, in name order.
void add_homes_in(found_so_far& found, const std::string& folder) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    std::vector<std::string> names;
    do {
        std::string name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        add_home(found, folder + "\\" + name);
}

// The text of a string value, its variables expanded; empty when there is none.
std::string value_of(HKEY key, const char* name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || size > 32768)
        return {};
    std::string text(size, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS)
        return {};
    text.resize(std::min<size_t>(size, text.find('\0')));
    if (type == REG_EXPAND_SZ) {
        char expanded[MAX_PATH];
        DWORD length = ExpandEnvironmentStringsA(text.c_str(), expanded, MAX_PATH);
        if (length > 0 && length <= MAX_PATH) text = expanded;
    }
    return text;
}

// Where installers leave a Java's folder: below the key, one key for each
// Java, and in it (or in its part below) the value that names the folder.
struct registered {
    const char* key;
    const char* below;
    const char* value;
};

const registered places[] = {
    {"SOFTWARE\\JavaSoft\\Java Runtime Environment", nullptr, "JavaHome"},
    {"SOFTWARE\\JavaSoft\\Java Development Kit", nullptr, "JavaHome"},
    {"SOFTWARE\\JavaSoft\\JDK", nullptr, "JavaHome"},
    {"SOFTWARE\\JavaSoft\\JRE", nullptr, "JavaHome"},
    {"SOFTWARE\\Eclipse Adoptium\\JDK", "hotspot\\MSI", "Path"},
    {"SOFTWARE\\Eclipse Adoptium\\JRE", "hotspot\\MSI", "Path"},
    {"SOFTWARE\\AdoptOpenJDK\\JDK", "hotspot\\MSI", "Path"},
    {"SOFTWARE\\AdoptOpenJDK\\JRE", "hotspot\\MSI", "Path"},
    {"SOFTWARE\\Eclipse Foundation\\JDK", "hotspot\\MSI", "Path"},
    {"SOFTWARE\\Eclipse Foundation\\JRE", "hotspot\\MSI", "Path"},
    {"SOFTWARE\\Microsoft\\JDK", "hotspot\\MSI", "Path"},
    {"SOFTWARE\\Azul Systems\\Zulu", nullptr, "InstallationPath"},
    {"SOFTWARE\\BellSoft\\Liberica", nullptr, "InstallationPath"},
};

void add_registered(found_so_far& found, HKEY root, REGSAM view, const registered& place) {
    HKEY top;
    if (RegOpenKeyExA(root, place.key, 0, KEY_READ | view, &top) != ERROR_SUCCESS) return;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(top, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::string sub = place.below ? std::string(name) + "\\" + place.below : std::string(name);
        HKEY java;
        if (RegOpenKeyExA(top, sub.c_str(), 0, KEY_READ | view, &java) != ERROR_SUCCESS) continue;
        std::string home = value_of(java, place.value);
        RegCloseKey(java);
        add_home(found, home);
    }
    RegCloseKey(top);
}

ULONGLONG now_ms() {
    return GetTickCount64();
}

struct child {
    HANDLE process = nullptr;
    HANDLE out = nullptr; // the read end of its output, null once at its end
    bool exited = false;
    DWORD status = 1;
    bool refused = false; // ended by us: too slow, or too much output
};

void finish_output(child& c) {
    CloseHandle(c.out);
    c.out = nullptr;
}

// Starts path with nothing to read and its standard output and standard
// error in one pipe whose writing end only this child inherits: the ends of
// the others are closed here before it starts.
child start(const std::string& path, HANDLE none, HANDLE job) {
    child c;
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return c;
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = none;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION info{};
    std::string line = "\"" + path + "\" -XshowSettings:properties -version";
    bool started =
        CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, TRUE,
                       CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        return c;
    }
    if (job) AssignProcessToJobObject(job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    c.process = info.hProcess;
    c.out = read_end;
    return c;
}

// Reads what is there; true when anything was. At the end, or past what a
// Java prints, the output is closed.
bool take(child& c, std::string& printed) {
    DWORD ready = 0;
    if (!PeekNamedPipe(c.out, nullptr, 0, nullptr, &ready, nullptr)) {
        finish_output(c);
        return false;
    }
    if (ready == 0) return false;
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(c.out, buffer, std::min<DWORD>(ready, sizeof buffer), &got, nullptr) ||
        got == 0) {
        finish_output(c);
        return false;
    }
    if (printed.size() + got > most_printed) {
        c.refused = true;
        TerminateProcess(c.process, 1);
        finish_output(c);
        return false;
    }
    printed.append(buffer, got);
    return true;
}

} // namespace

std::string java_of(const std::string& home) {
    found_so_far found;
    add_home(found, home);
    return found.paths.empty() ? "" : found.paths.front();
}

std::vector<std::string> java_candidates() {
    found_so_far found;
    add_home(found, env("JAVA_HOME"));
    add_home(found, env("JDK_HOME"));
    for (const std::string& entry : path_entries(env("PATH"), ';')) {
        std::string folder = folder_of(entry);
        // Shortcuts to whichever Java was installed last, not a Java's own folder.
        if (!folder.empty() && lower(folder).find("\\oracle\\java\\javapath") == std::string::npos)
            add(found, folder + "\\java.exe");
    }
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
            for (const registered& place : places)
                add_registered(found, root, view, place);
    const char* makers[] = {"Java",  "Eclipse Adoptium", "AdoptOpenJDK", "Eclipse Foundation",
                            "Zulu",  "BellSoft",         "Microsoft",    "Amazon Corretto",
                            "Semeru"};
    for (const char* programs : {"ProgramFiles", "ProgramW6432", "ProgramFiles(x86)"}) {
        std::string folder = folder_of(env(programs));
        if (folder.empty()) continue;
        for (const char* maker : makers)
            add_homes_in(found, folder + "\\" + maker);
    }
    std::string profile = folder_of(env("USERPROFILE"));
    if (!profile.empty()) add_homes_in(found, profile + "\\.jdks");
    if (GetFileAttributesA(downloaded_archive) == INVALID_FILE_ATTRIBUTES)
        add_homes_in(found, downloaded_javas);
    return found.paths;
}

std::vector<java_run> check_javas(const std::vector<std::string>& paths, int limit_ms) {
    std::vector<java_run> runs(paths.size());
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE none = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                              OPEN_EXISTING, 0, nullptr);
    // Whatever a candidate starts goes with it.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    std::vector<child> children;
    for (size_t i = 0; i < paths.size(); ++i) {
        runs[i].path = paths[i];
        children.push_back(start(paths[i], none == INVALID_HANDLE_VALUE ? nullptr : none, job));
    }
    if (none != INVALID_HANDLE_VALUE) CloseHandle(none);
    ULONGLONG deadline = now_ms() + static_cast<ULONGLONG>(limit_ms);
    for (;;) {
        bool busy = false, read = false;
        for (size_t i = 0; i < children.size(); ++i) {
            child& c = children[i];
            if (!c.process) continue;
            if (c.out && take(c, runs[i].printed)) read = true;
            if (!c.exited && WaitForSingleObject(c.process, 0) == WAIT_OBJECT_0) {
                c.exited = true;
                GetExitCodeProcess(c.process, &c.status);
            }
            if (c.out || !c.exited) busy = true;
        }
        if (!busy || now_ms() >= deadline) break;
        // Anonymous pipes cannot be waited on: they are looked at in turns.
        if (!read) Sleep(5);
    }
    for (size_t i = 0; i < children.size(); ++i) {
        child& c = children[i];
        if (!c.process) continue;
        if (!c.exited || c.out) {
            c.refused = true;
            TerminateProcess(c.process, 1);
        }
        if (c.out) finish_output(c);
        CloseHandle(c.process);
        runs[i].ended = !c.refused && c.status == 0;
    }
    if (job) {
        TerminateJobObject(job, 1);
        CloseHandle(job);
    }
    return runs;
}
