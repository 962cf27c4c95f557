#include "dialogs.h"

#include <SDL.h>
#include <cstdlib>

namespace {

// The device playing the last sound (0: none), and whether SDL's audio is up.
SDL_AudioDeviceID device;
bool audio_up;

void stop() {
    if (device) SDL_CloseAudioDevice(device);
    device = 0;
}

void audio_down() {
    stop();
    if (audio_up) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    audio_up = false;
    SDL_Quit();
}

bool audio() {
    if (audio_up) return true;
    // Ctrl+C and the like stay with the terminal layer, which puts the
    // terminal back, rather than becoming SDL events nobody reads.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        SDL_Quit();
        return false;
    }
    static bool registered;
    if (!registered) std::atexit(audio_down);
    registered = audio_up = true;
    return true;
}

} // namespace

bool play_sounds(std::string name) {
    if (!audio()) return false;
    stop();
    SDL_AudioSpec format;
    Uint8* samples = nullptr;
    Uint32 length = 0;
    if (!SDL_LoadWAV(name.c_str(), &format, &samples, &length)) return false;
    format.callback = nullptr;
    // No changes allowed: SDL converts the samples to whatever the device takes.
    device = SDL_OpenAudioDevice(nullptr, 0, &format, nullptr, 0);
    bool queued = device && SDL_QueueAudio(device, samples, length) == 0;
    SDL_FreeWAV(samples);
    if (!queued) {
        stop();
        return false;
    }
    SDL_PauseAudioDevice(device, 0);
    return true;
}
