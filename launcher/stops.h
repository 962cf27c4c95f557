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

// The causes of a server's end that the launcher can name.
enum class stop_cause { none, port, eula, old_java, memory, crash, plugin };

// A cause found, and what it names: the class, the plugin or the report.
struct found_cause {
    // What stopped the server.
    stop_cause cause = stop_cause::none;
    // The plugin or class too new for the Java, the plugin that failed, or
    // the crash report; empty when the lines do not say.
    std::string name;
    // True when name is a plugin's.
    bool plugin = false;
    // The Java version the class or plugin needs, 0 when not said.
    int java = 0;
};

// The cause that the server's lines (the end of its log, the crash report)
// show, the most telling first; report is the path of a crash report written
// by the run, empty when there is none.
found_cause cause_of(std::string_view lines, const std::string& report);

// The lines, in Chinese, that tell the user what happened and what to do;
// empty for no cause. port is the server's port.
std::string explanation(const found_cause& found, int port);

// Checks, before the server starts, what would stop it at once: asks with a
// notice titled caption to agree to the licence when eula.txt does not, and
// whether to start anyway when the port is taken. False when the user said
// No or eula.txt could not be written: nothing is to run.
bool may_start(const std::string& caption);

// What the server folder holds before a run that tells this run's traces from
// older ones.
struct traces {
    // The log's time and size, empty when there is none.
    std::string log;
    // The crash reports' names.
    std::vector<std::string> reports;
};

// What the server folder holds now.
traces traces_now();

// Prints, after the server has ended with status, why it ended when what the
// run left shows it: the lines of explanation(). A clean stop gets nothing.
void explain(const traces& before, int status);

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
