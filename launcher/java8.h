#pragma once

// A Java 8 for whoever has none: offered at the Java prompt, downloaded from
// the distribution sites, checked against its published SHA-256 and
// installed in the working folder's java8 (downloaded_javas in javas.h).

#include "javas.h"

#include <string>
#include <vector>

// The program of the Java in folder (a cmd path, relative to the current
// folder), as the list names it: folder holds one folder, a Java's own, as
// the vendors' archives do. Empty when folder holds anything else, or that
// folder no Java program.
std::string java_in(const std::string& folder);

// When found holds no 64-bit Java 8, and no Java installed here before runs,
// offers to download one; on Yes installs it, run in the current folder (the
// working folder). True when a Java was installed and ran: got is that Java,
// checked as the list checks every Java. False when nothing was offered, the
// answer was No, or every site failed, which a notice titled title then says;
// what an attempt left is removed then.
bool java8_installed(const std::vector<java_found>& found, java_found& got,
                     const std::string& title);
