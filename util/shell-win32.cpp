#include "shell.h"

#include "console.h"

#include <algorithm>
#include <cstdlib>
#include <windows.h>

namespace {

// The length of text's longest prefix that ends between two GBK characters:
// a lead byte whose second byte has not come yet is held back, since the
// console would show half a character.
size_t whole(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t n = c >= 0x81 && c <= 0xfe ? 2 : 1;
        if (i + n > text.size()) break;
        i += n;
    }
    return i;
}

// What a program wrote: kept up to output_bytes, and shown as it is kept.
struct taken {
    std::string& output;
    std::string shown; // kept, not yet shown: the start of a character

    // Reads what the pipe holds now, at most limit bytes; false once it is
    // closed and empty.
    bool read(HANDLE pipe, DWORD limit) {
        char buf[4096];
        for (DWORD done = 0; done < limit;) {
            DWORD ready = 0, got = 0;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &ready, nullptr)) return false;
            if (ready == 0) return true;
            if (!ReadFile(pipe, buf, std::min<DWORD>(ready, sizeof buf), &got, nullptr) || got == 0)
                return false;
            done += got;
            size_t room = output_bytes - std::min(output.size(), output_bytes);
            size_t kept = std::min<size_t>(got, room);
            output.append(buf, kept);
            shown.append(buf, kept);
            size_t n = whole(shown);
            print(shown.substr(0, n));
            shown.erase(0, n);
        }
        return true;
    }
};

// A handle of ours that a child may inherit, as its standard handle.
HANDLE inheritable(DWORD which) {
    HANDLE self = GetCurrentProcess(), copy = nullptr;
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(self, h, self, &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// Copies what the pipe holds now, at most limit bytes, to the console's
// standard error, whole characters only (the rest is held), and keeps the
// last error_bytes of it in errors; false once the pipe is closed and empty.
bool relay(HANDLE pipe, std::string& errors, std::string& held, DWORD limit) {
    char buf[4096];
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    for (DWORD done = 0; done < limit;) {
        DWORD ready = 0, got = 0, wrote = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &ready, nullptr)) return false;
        if (ready == 0) return true;
        if (!ReadFile(pipe, buf, std::min<DWORD>(ready, sizeof buf), &got, nullptr) || got == 0)
            return false;
        done += got;
        errors.append(buf, got);
        if (errors.size() > error_bytes) errors.erase(0, errors.size() - error_bytes);
        held.append(buf, got);
        size_t n = whole(held);
        for (size_t at = 0;
             at < n &&
             WriteFile(console, held.data() + at, static_cast<DWORD>(n - at), &wrote, nullptr) &&
             wrote > 0;)
            at += wrote;
        held.erase(0, n);
    }
    return true;
}

} // namespace

int shell(std::string line) {
    return std::system(as_written(line).c_str());
}

// Runs the line as system() does ("cmd /c LINE", waiting for cmd), its input
// and output the console's, its standard error a pipe that is copied to the
// console as it comes.
int shell_errors(std::string line, std::string& errors) {
    errors.clear();
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE from = nullptr, to = nullptr;
    if (!CreatePipe(&from, &to, &sa, 0)) return shell(line);
    SetHandleInformation(from, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    si.hStdError = to;
    const char* comspec = std::getenv("COMSPEC");
    std::string command = "cmd.exe /c " + as_written(line);
    PROCESS_INFORMATION pi = {};
    bool started = CreateProcessA(comspec && *comspec ? comspec : nullptr, command.data(), nullptr,
                                  nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    for (HANDLE h : {si.hStdInput, si.hStdOutput, to})
        if (h) CloseHandle(h);
    if (!started) {
        CloseHandle(from);
        return -1;
    }
    CloseHandle(pi.hThread);
    std::string held;
    bool open = true, ended = false;
    while (!ended) {
        ended = WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0;
        if (open) open = relay(from, errors, held, 1 << 20);
    }
    DWORD status = 1;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hProcess);
    CloseHandle(from);
    return static_cast<int>(status);
}

// Runs the line through cmd as _popen does ("cmd /c LINE"), standard output
// on a pipe. Java writes its version to standard error, which the pipe carries
// only when redirected onto it. cmd, and all it starts, is in a job of its
// own, so that one call ends them all; the job also ends them should the
// launcher end first (Ctrl+C, the window closed).
int shell_output(std::string line, std::string& output, int seconds) {
    output.clear();
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE from = nullptr, to = nullptr;
    if (!CreatePipe(&from, &to, &sa, 0)) return -1;
    SetHandleInformation(from, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = to;
    si.hStdError = inheritable(STD_ERROR_HANDLE);
    const char* comspec = std::getenv("COMSPEC");
    std::string command = "cmd.exe /c " + as_written(line + " 2>&1");
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    PROCESS_INFORMATION pi = {};
    bool started = CreateProcessA(comspec && *comspec ? comspec : nullptr, command.data(), nullptr,
                                  nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
    for (HANDLE h : {si.hStdInput, si.hStdError, to})
        if (h) CloseHandle(h);
    if (!started) {
        CloseHandle(from);
        if (job) CloseHandle(job);
        return -1;
    }
    // Outside a job (where the launcher's own job forbids one), only cmd
    // itself can be ended.
    bool in_job = job && AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);

    taken got{output, {}};
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    bool open = true, ended = false;
    while (!ended) {
        // What arrives is taken in short steps, and cmd's end seen at once.
        ended = WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0;
        if (open) open = got.read(from, 1 << 20);
        if (!ended && GetTickCount64() >= deadline) break;
    }
    // What it started goes with it, whatever holds its output.
    if (in_job)
        TerminateJobObject(job, 1);
    else if (!ended)
        TerminateProcess(pi.hProcess, 1);
    print(got.shown);
    DWORD status = 1;
    if (ended) GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hProcess);
    CloseHandle(from);
    if (job) CloseHandle(job);
    if (!ended) {
        std::string why = overran(seconds);
        print(why);
        output += why;
        return timed_out;
    }
    return static_cast<int>(status);
}
