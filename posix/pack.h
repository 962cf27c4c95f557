#pragma once

// The Linux stand-in for PowerShell's Compress-Archive, on libarchive.

#include <string>

// Compresses the file or folder src into a new zip archive dest (a folder is
// stored under its own name; src a link, as what it leads to under the link's
// name, while links inside stay links). Files whose data does not shrink are stored as
// they are, the others deflated. The archive is written beside dest and takes
// its name only once complete and flushed to disk; an existing dest is never
// overwritten. Returns 0, or 1 after printing why in Chinese.
int compress(const std::string& src, const std::string& dest);
