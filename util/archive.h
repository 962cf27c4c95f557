#pragma once

#include <string>

// The PowerShell command line that saves the resource at url as file.
std::string download_line(std::string file, std::string url);

// The PowerShell command line that extracts the archive zip into the folder dest.
std::string unzip_line(std::string zip, std::string dest);

// The PowerShell command line that compresses src into the archive dest.
std::string zip_line(std::string src, std::string dest);

// Saves the resource at url as file inside folder; the current directory is
// the same afterwards, whether or not the download worked.
void downloads(std::string folder, std::string url, std::string file);

// Extracts the archive zip into the folder dest, keeping its folder structure.
void unzip(std::string zip, std::string dest);

// Compresses the file or folder src into the archive dest; returns the
// command's exit status, 0 when it succeeded.
int zip(std::string src, std::string dest);
