#pragma once

// The server folder's checks and extraction for the installation: what must
// be there, what may never be replaced, and the Java command file's line.

#include <string>

// Why an installation can never finish in the server folder as it stands,
// since it replaces nothing there: a link that leads nowhere in its place, or
// eula.txt, the jar or the Java command file there as something else than a
// file. Empty when nothing stands in the way.
std::string blocked();

// Extracts the downloaded archive into the server folder. A server folder
// made now receives the archive whole; one already there (the user's, or an
// installation cut short) receives only what it lacks, through a staging
// folder, and keeps every file it holds. True when the server folder then
// holds eula.txt and the jar as files; otherwise says what is wrong and
// leaves no folder of its own making behind.
bool extract();

// Reads the first line of the Java command file at path as read_line does,
// without the UTF-8 byte order mark that an editor may write before it.
bool java_line(const std::string& path, std::string& line);
