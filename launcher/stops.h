#pragma once

// What stops a server: checked before it starts (its licence agreement, its
// port), and read from what a run left behind once it has ended, said to the
// user in Chinese. Everything here works in the server folder, the current
// directory of the start.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// How much of eula.txt and server.properties is read: far more than the
// server ever writes there.
constexpr std::int64_t head_bytes = 1024 * 1024;

// Reads the server's file at path (eula.txt, server.properties) into text,
// empty when there is none; false when it is longer than head_bytes, text
// then holding only its first head_bytes.
bool read_head(const std::string& path, std::string& text);

// The value of key in the text of a properties file, as the server reads it
// (Java's properties form: lines end at \r, \n or \r\n, a backslash at the end
// goes on in the next line, the key's escapes read), the value's escapes
// left as written; empty when the key is missing.
std::string property(std::string_view text, std::string_view key);

// True when the text of eula.txt agrees to the licence: its key eula is
// "true", whatever the case.
bool agreed(std::string_view text);

// The text of eula.txt with its eula line(s) set to "eula=true", every other
// byte kept; the line is added, ended as the file's lines are, when there is
// none.
std::string agreeing(std::string_view text);

// The server's port in the text of server.properties: server-port, 25565 when
// missing or not a port.
int server_port(std::string_view text);

// True when what "java -version" printed says it did not start because of a
// memory setting in the command.
bool memory_setting(std::string_view printed);

// The words to put after the saved Java command that could not run: why it
// did not, in full-width brackets, naming its memory settings when what it
// printed blames them.
std::string failed_java(const std::string& command, std::string_view printed);

// The causes of a server's end that the launcher can name: besides the port,
// the licence, a Java too old, the heap, a crash report and a plugin that
// could not load, the watchdog (hung), a world whose level.dat cannot be
// read, a plugin that could not be enabled, no more threads, a server-ip
// that is not this computer's (address), the jar missing or damaged, Java's
// own crash, and an exit status that nothing else explains (abnormal).
enum class stop_cause {
    none,
    port,
    eula,
    old_java,
    memory,
    crash,
    plugin,
    hung,
    world,
    enable,
    threads,
    address,
    no_jar,
    bad_jar,
    java_crash,
    abnormal
};

// A cause found, and what it names: the class, the plugin or the report.
struct found_cause {
    // What stopped the server.
    stop_cause cause = stop_cause::none;
    // The plugin or class too new for the Java, the plugin that failed, the
    // crash report (or Java's error report), the level.dat, the jar, the
    // server-ip, the exit status; empty when the lines do not say.
    std::string name;
    // The plugins that the plugin needs and that are missing.
    std::string needs;
    // True when name is a plugin's.
    bool plugin = false;
    // The Java version the class or plugin needs, 0 when not said.
    int java = 0;
};

// The cause that the server's lines (what it wrote to standard error, the
// end of its log, the crash report, Java's error report) show, the most
// telling first; report is the path of a crash report, or else of Java's
// error report, written by the run, empty when there is none.
found_cause cause_of(std::string_view lines, const std::string& report);

// The lines, in Chinese, that tell the user what happened and what to do;
// empty for no cause. port is the server's port; backup names the newest
// backup of the world (as "vellomar/backups/NAME"), told where the world is
// at risk, empty when there is none.
std::string explanation(const found_cause& found, int port, const std::string& backup = {});

// True when the cause is a crash, which starting the server again may get
// past: a crash report, the watchdog, memory or threads used up, Java's own
// crash, an abnormal exit.
bool restarts(stop_cause cause);

// Checks, before the server starts, what would stop it at once: asks with a
// notice titled caption to agree to the licence when eula.txt does not, and
// whether to start anyway when the port is taken or server-ip is none of this
// computer's addresses. False when the user said No or eula.txt could not be
// written: nothing is to run.
bool may_start(const std::string& caption);

// What the server folder holds before a run that tells this run's traces from
// older ones.
struct traces {
    // The log's time and size, empty when there is none.
    std::string log;
    // The crash reports' names.
    std::vector<std::string> reports;
    // Java's own error reports (hs_err_pid*.log) in the server folder.
    std::vector<std::string> fatal;
};

// What the server folder holds now.
traces traces_now();

// Prints, after the server has ended with status, why it ended when what the
// run left shows it (errors: the end of what it wrote to standard error):
// the lines of explanation(), naming backup where the world is at risk. A
// clean stop gets nothing. Returns the cause found; Ctrl+C is none.
found_cause explain(const traces& before, int status, const std::string& errors = {},
                    const std::string& backup = {});

// Whether a listening socket can have the port now, on the address ip
// (numeric; every address when empty): 1 when it can, 0 when the port is
// taken, -1 when it cannot be told.
int port_free(const std::string& ip, int port);

// The program that holds a listening socket on the port.
struct port_holder {
    // Its name, empty when it cannot be told.
    std::string name;
    // Its process id, 0 when unknown.
    long pid = 0;
    // True when it is this server itself, started earlier and still running;
    // maybe when it only looks like one.
    bool same = false, maybe = false;
};

// Who listens on the port, as far as the system tells.
port_holder holder_of(int port);
