#include "dialogs.h"

#include <windows.h>

#include <mmsystem.h>

void mes(std::string text, std::string caption) {
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), 0);
}

bool mes_yes_no(std::string text, std::string caption) {
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(), 4) == 6;
}

bool play_sounds(std::string name) {
    // 0x20001: SND_FILENAME | SND_ASYNC.
    return PlaySoundA(name.c_str(), nullptr, 0x20001) != FALSE;
}
