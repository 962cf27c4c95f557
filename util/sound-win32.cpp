#include "dialogs.h"

#include <windows.h>

#include <mmsystem.h>

bool play_sounds(std::string name) {
    // 0x20001: SND_FILENAME | SND_ASYNC.
    return PlaySoundA(name.c_str(), nullptr, 0x20001) != FALSE;
}
