#pragma once

// The Linux stand-in for the PowerShell command lines the system composes:
// "powershell curl  -o FILE URL", "powershell Expand-Archive -LiteralPath '…'
// -DestinationPath '…'" and "powershell Compress-Archive '…' '…'".

#include <string>
#include <string_view>
#include <vector>

// Splits a PowerShell command into words: blanks separate, single quotes
// quote literally ('' is one quote), double quotes group.
std::vector<std::string> ps_words(std::string_view line);

// Carries out the command after "powershell " and returns its exit status.
int powershell(std::string_view command);
