#include "dialogs.h"

#include <windows.h>

void mes(std::string text, std::string caption) {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), 0);
}

bool mes_yes_no(std::string text, std::string caption) {
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(), 4) == 6;
}
