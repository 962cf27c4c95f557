#pragma once

// Copies of the server's world, made before each start into the working
// folder's backups, one folder per backup named from the clock, one zip per
// world folder in it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The world folders' name that the text of server.properties gives as its
// level-name, escapes read as the server reads them; "world" when it gives
// none.
std::string level_name(const std::string& properties);

// True when name can be a world folder's name in the composed command lines:
// a single folder name, with none of the characters cmd or PowerShell's
// quotes would read.
bool plain_name(const std::string& name);

// A backup folder's name for the moment given: "YYYY-MM-DD_HH-MM-SS".
std::string stamp(int year, int month, int day, int hour, int minute, int second);

// True when name is a backup folder's name as stamp gives it.
bool stamped(const std::string& name);

// What describes the files under the folders, read by a walk of their names,
// sizes and modification times, never their contents: it is the same as long
// as nothing in them has changed.
std::string fingerprint(const std::vector<std::string>& folders);

// Where an FNV-1a hash starts.
constexpr std::uint64_t fnv_basis = 0xcbf29ce484222325ULL;

// Mixes size bytes at data into an FNV-1a hash.
std::uint64_t mix(std::uint64_t hash, const void* data, size_t size);

// Adds to sum a hash of each entry under folder (its name below folder, kind,
// size and modification time), which makes the sum the same whatever order
// they are listed in, and counts them in count. False when the folder cannot
// be read all through (backup-posix.cpp, backup-win32.cpp).
bool walk(const std::string& folder, std::uint64_t& sum, std::uint64_t& count);

// A backup the launcher made and finished: its folder's name, the
// fingerprint of the worlds it holds, the zips it holds (empty when its
// manifest is of the form that named none), and its place in the order
// backups were made (0 for those made before they were numbered).
struct backup {
    std::string name;
    std::string sum;
    std::vector<std::string> zips;
    std::int64_t order = 0;
};

// The text of a backup's manifest: the fingerprint on the first line, where
// every form of it has had it, then the order and the zips, one a line.
std::string manifest_text(const backup& made);

// Reads a manifest's text into found (all but its name); false when it is
// not one the launcher wrote.
bool read_manifest(const std::string& text, backup& found);

// The names of the backups to remove so that the newest keep stay: the
// latest made, by their order, then by their names.
std::vector<std::string> expired(std::vector<backup> found, size_t keep);

// The whole backup made last as the user finds it ("vellomar/backups/NAME", the
// separator the system's), empty when there is none. Called from the server
// folder.
std::string newest_backup();

// Backs up the world folders of the server folder, the current directory,
// unless nothing in them has changed since the newest backup. False when a
// backup failed and the user chose not to start the server, asked in a notice
// titled caption.
bool back_up_world(const std::string& caption);
