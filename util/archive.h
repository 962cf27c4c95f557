#pragma once

#include <string>

// True where Windows has curl itself, %SystemRoot%\System32\curl.exe (every
// Windows 10 since 1803); never on Linux.
bool system_curl();

// The PowerShell command line that saves the resource at url as file: with
// curl itself when curl_exe ("powershell curl.exe  -o FILE URL"), else with
// PowerShell's own download under its alias curl, the parameter named in
// full ("powershell curl  -OutFile FILE URL").
std::string download_line(std::string file, std::string url, bool curl_exe);

// The download line as this computer runs it: curl itself where system_curl().
std::string download_line(std::string file, std::string url);

// The PowerShell command line that extracts the archive zip into the folder dest.
std::string unzip_line(std::string zip, std::string dest);

// The PowerShell command line that compresses src into the archive dest.
std::string zip_line(std::string src, std::string dest);

// Saves the resource at url as file inside folder; the current directory is
// the same afterwards, whether or not the download worked. With curl itself,
// curl follows redirects and writes no file for an HTTP error, as PowerShell's
// download does: for that one run its config file is the launcher's, _curlrc
// in folder, named by CURL_HOME.
void downloads(std::string folder, std::string url, std::string file);

// Extracts the archive zip into the folder dest, keeping its folder structure.
void unzip(std::string zip, std::string dest);

// Compresses the file or folder src into the archive dest; returns the
// command's exit status, 0 when it succeeded.
int zip(std::string src, std::string dest);
