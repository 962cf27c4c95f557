#pragma once

// The Javas installed on the machine, offered at the Java prompt: where they
// are looked for and how each is started lives in javas-posix.cpp and
// javas-win32.cpp; reading what one printed, the order and the list's text in
// javas.cpp.

#include <string>
#include <vector>

// A Java that ran and said which it is.
struct java_found {
    std::string path; // its program, as the list shows it
    int major = -1;   // 8 for "1.8", 17 for "17"
    bool wide = true; // a 64-bit Java
};

// What one candidate left when it was checked.
struct java_run {
    std::string path;    // the program that ran
    std::string printed; // its standard output and standard error, bounded
    bool ended = false;  // it ended by itself with status 0 within the time limit
};

// How long every candidate together may take to be checked, in milliseconds.
constexpr int java_time_limit = 5000;

// The bits of the Java that printed this for "-XshowSettings:properties
// -version": its sun.arch.data.model, else its os.arch, else what its own
// lines say ("64-Bit"; "Client VM", "32-Bit"); 0 when nothing tells.
int bits_of(const std::string& printed);

// Reads what "java -XshowSettings:properties -version" printed into found:
// the major version (from the properties, else the version line) and whether
// it is 64-bit, which it is unless something says it is 32-bit. False when it
// names no version.
bool read_settings(const std::string& printed, java_found& found);

// The major version named by a Java version string: "1.8.0_392" and "1.8"
// are 8, "17.0.9" is 17. -1 when it starts with no number.
int major_of(const std::string& version);

// Sorts found as the list shows it: 64-bit Java 8, other Java 8, then the
// rest by version, 64-bit before 32-bit; ties keep their order.
void order(std::vector<java_found>& found);

// The list as shown before the Java prompt, numbered from 1, or the line
// that says none was found and how to get one; ends with a line end.
std::string list_text(const std::vector<java_found>& found);

// The list entry an answer chooses: 1 to count for a number on the list, -1
// for a number that is not on it, 0 for anything else (a path).
int pick(const std::string& answer, size_t count);

// The value of the environment variable name, empty when it is not set.
std::string env(const char* name);

// The entries of a search path such as PATH, split at separator; empty
// entries are left out.
std::vector<std::string> path_entries(const std::string& path, char separator);

// The folder of the working folder (current at the Java prompt) where the
// launcher installs the Java it downloads, one Java's folder inside it; and
// the archive it comes in, which is removed once the Java is installed, so
// that while it is there the folder's Java is not taken for one.
constexpr const char* downloaded_javas = "java8";
constexpr const char* downloaded_archive = "java8.zip";

// The program of the Java whose own folder is home (its bin/java, or a JDK
// 8's jre/bin/java), named as the list names it; empty when it has none
// (platform part).
std::string java_of(const std::string& home);

// The programs to check, in the order they were found, one for each real
// file (platform part).
std::vector<std::string> java_candidates();

// Starts every candidate at once with -XshowSettings:properties -version,
// with nothing to read, and collects what each printed; one still running
// after limit_ms is ended (platform part).
std::vector<java_run> check_javas(const std::vector<std::string>& paths, int limit_ms);

// The Javas of the machine that ran, ordered as the list shows them.
std::vector<java_found> find_javas();
