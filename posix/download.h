#pragma once

// How the PowerShell stand-in downloads: in a program of its own,
// vellomar-fetch, which alone loads libcurl, so that the archive commands
// start without it.

#include <string>

// Becomes vellomar-fetch (beside the running program) with url and file, by
// exec: the same process, its exit status the download's (see fetch.h).
// Returns only when that program cannot be run: 1, after saying why.
int download(const std::string& url, const std::string& file);
