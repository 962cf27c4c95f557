#pragma once

// The distribution sites the server archive and the Java archive are fetched
// from, and the check that what came is the archive published there.

#include <cstddef>
#include <string>
#include <vector>

// The sites to try in turn (scheme, host and port each, without a trailing
// slash): the blank-separated words of the environment variable
// VELLOMAR_DIST_HOST when it holds any, else of the build's setting.
std::vector<std::string> sites();

// The address of the server archive on site.
std::string archive_address(const std::string& site);

// The address on site of the Java 8 archive for this build's platform.
std::string java_address(const std::string& site);

// Tells which site is tried now, when there is more than one.
void trying(const std::vector<std::string>& list, std::size_t at);

// The SHA-256 an archive must have, in lower case: the environment variable
// named variable when set, else the build's setting; empty when any archive
// is taken.
std::string published_sha256(const char* variable, const char* setting);

// The server archive's SHA-256 (VELLOMAR_ARCHIVE_SHA256).
std::string archive_sha256();

// The Java archive's SHA-256 (VELLOMAR_JAVA_SHA256).
std::string java_sha256();

// True when file is there and has the SHA-256 expected (or none is expected).
// A file with other bytes is deleted with partial, the bytes an attempt broke
// off with, and the user is told why and whether it went; false then too.
bool verified(const std::string& file, const std::string& partial, const std::string& expected);
