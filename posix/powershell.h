#pragma once

// The Linux stand-in for the PowerShell command lines the system composes:
// "powershell curl  -OutFile FILE URL" (and "curl  -o FILE URL", as scripts
// have it), "powershell curl.exe  -o FILE URL", "powershell Expand-Archive
// -LiteralPath '…' -DestinationPath '…'" and "powershell Compress-Archive '…'
// '…'". Words bind to the cmdlets' parameters as in Windows PowerShell 5.1
// (bind.h).

#include <string_view>

// Carries out the command after "powershell " and returns its exit status.
int powershell(std::string_view command);
