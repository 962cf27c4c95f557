#pragma once

// The server folder's checks and extraction for the installation: what must
// be there, what may never be replaced, and the Java command file's line.

#include <string>

// Why an installation can never finish in the server folder as it stands,
// since it replaces nothing there: a link that leads nowhere in its place, or
// eula.txt, the jar or the Java command file there as something else than a
// file. Empty when nothing stands in the way.
std::string blocked();

// Removes what an installation cut short left under the staging folder's
// name, the launcher's own; true when there was something: an extraction
// cut short, which may have given the server folder only part of what it
// lacked.
bool sweep_stage();

// Removes whatever the staging folder's name holds, before an archive is
// fetched to be extracted there. False after a notice titled caption when it
// stays, which another try cannot mend.
bool clear_stage(const std::string& caption);

// How an extraction ended: the server is there, the archive did not hold it
// (said why), or what another try cannot mend (a folder that cannot be
// made) was named in a notice titled caption.
enum class extraction { done, again, stopped };

// Extracts the downloaded archive into the staging folder, made now where
// clear_stage left the name free, then gives that the server folder's name when there is none
// (a server folder is never seen half made), or adds from it only what the
// server folder already there lacks (the user's, or an installation cut
// short), which keeps every file it holds. The staging folder goes either
// way. Done when the server folder holds eula.txt and the jar as files.
extraction extract(const std::string& caption);

// Reads the first line of the Java command file at path as read_line does,
// without the UTF-8 byte order mark that an editor may write before it.
bool java_line(const std::string& path, std::string& line);
