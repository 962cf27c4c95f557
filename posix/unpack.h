#pragma once

// The Linux stand-ins for PowerShell's archive commands, on libarchive.

#include <string>

// Extracts the zip archive into the folder dest (native paths), keeping its
// folder structure and replacing files that exist. All or nothing: entries go
// to a staging folder beside dest and move into place only once every entry
// has been read to its end without a warning. Entries that would land outside
// dest (.., absolute names, devices, links that lead out or loop, followed
// through the archive's own links) are refused. Names are UTF-8 where the
// archive says so, else GBK. Entries keep the Unix mode they carry (a
// program stays executable), less the umask and the set-id bits; entries
// made on Windows, which carry none, are made 0666 and folders 0777, less the
// umask. Returns 0, or 1 after printing why in Chinese.
int expand(const std::string& zip, const std::string& dest);
