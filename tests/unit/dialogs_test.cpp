#include "util/dialogs.h"

#include "scratch.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// ---- Sound, through SDL's disk driver ----------------------------------------

// Whether this process has called play_sounds, and so has SDL's audio up
// with whatever driver the first call found.
bool played;

bool play(const std::string& name) {
    played = true;
    return play_sounds(name);
}

// 16-bit signed mono samples as little-endian bytes.
std::string pcm(const std::vector<std::int16_t>& samples) {
    std::string out;
    for (auto s : samples) {
        auto u = static_cast<std::uint16_t>(s);
        out += static_cast<char>(u & 0xff);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

// A samples pattern that no silence or other pattern contains: a ramp that
// never passes through zero, shifted by seed.
std::vector<std::int16_t> ramp(int seed, int count) {
    std::vector<std::int16_t> out;
    for (int i = 0; i < count; ++i)
        out.push_back(static_cast<std::int16_t>(1000 + seed * 4000 + (i * 37) % 3000));
    return out;
}

std::string le32(std::uint32_t v) {
    return {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
            static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)};
}

std::string le16(std::uint16_t v) {
    return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
}

// A PCM WAV file, 16-bit mono at 22050 Hz, holding data.
std::string wav(const std::string& data) {
    const std::uint32_t rate = 22050;
    std::string fmt = le16(1) + le16(1) + le32(rate) + le32(rate * 2) + le16(2) + le16(16);
    std::string body = "WAVE" + std::string("fmt ") + le32(static_cast<std::uint32_t>(fmt.size())) +
                       fmt + "data" + le32(static_cast<std::uint32_t>(data.size())) + data;
    return "RIFF" + le32(static_cast<std::uint32_t>(body.size())) + body;
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Waits (at most ten seconds) until the file holds what; returns what it then holds.
std::string wait_for(const std::filesystem::path& path, const std::string& what) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string got;
    do {
        got = read_file(path);
        if (got.find(what) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < until);
    return got;
}

// Sound goes to a file of raw samples in dir instead of a sound card. The
// driver counts from the first call in the process on; the file is opened
// anew by each sound.
std::filesystem::path to_disk(const scratch& dir) {
    setenv("SDL_AUDIODRIVER", "disk", 1);
    auto out = dir / "played.raw";
    setenv("SDL_DISKAUDIOFILE", out.c_str(), 1);
    return out;
}

// Runs fn in a child process and returns the child's wait status. The child
// starts SDL afresh only while this process has not started it.
template <class F> int in_child(F fn) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) _exit(fn());
    int status = -1;
    if (child > 0) waitpid(child, &status, 0);
    return status;
}

// The tests that need a process of their own are declared first, so that a
// plain run of the whole binary reaches them before any other test has
// started SDL; under ctest every test has a process of its own anyway.
TEST(PlaySounds, FalseWhenNoAudioDriverCanBeOpened) {
    if (played) GTEST_SKIP() << "SDL's audio is already up in this process";
    scratch dir;
    auto name = (dir / "ok.wav").string();
    write_file(name, wav(pcm(ramp(1, 100))));
    int status = in_child([&] {
        setenv("SDL_AUDIODRIVER", "nosuchdriver", 1);
        bool first = play_sounds(name);
        // A failed start is tried again, and fails again.
        bool second = play_sounds(name);
        return !first && !second ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "play_sounds gave true without a driver";
}

TEST(PlaySounds, InterruptStillEndsTheProgramOnceSoundIsUp) {
    if (played) GTEST_SKIP() << "SDL's audio is already up in this process";
    scratch dir;
    auto name = (dir / "ok.wav").string();
    write_file(name, wav(pcm(ramp(1, 100))));
    int status = in_child([&] {
        std::signal(SIGINT, SIG_DFL);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        if (!play_sounds(name)) return 2;
        std::raise(SIGINT);
        return 3; // SIGINT was caught by someone
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGINT);
}

TEST(PlaySounds, SamplesOfTheFileReachTheDevice) {
    scratch dir;
    auto out = to_disk(dir);
    std::string samples = pcm(ramp(1, 2205));
    write_file(dir / "tone.wav", wav(samples));
    ASSERT_TRUE(play((dir / "tone.wav").string()));
    std::string got = wait_for(out, samples);
    EXPECT_NE(got.find(samples), std::string::npos)
        << "the samples never reached the output file (" << got.size() << " bytes there)";
}

TEST(PlaySounds, ReturnsWhileTheSoundPlays) {
    scratch dir;
    auto out = to_disk(dir);
    // Ten seconds of sound: a call that waited for the end would not return
    // before the samples' end could be found in the output.
    std::string samples = pcm(ramp(2, 22050 * 10));
    write_file(dir / "long.wav", wav(samples));
    ASSERT_TRUE(play((dir / "long.wav").string()));
    std::string got = read_file(out);
    EXPECT_EQ(got.find(samples.substr(samples.size() - 4000)), std::string::npos);
}

TEST(PlaySounds, ANewSoundReplacesTheOneStillPlaying) {
    scratch dir;
    auto out = to_disk(dir);
    // Three seconds of one value, which the new sound does not contain.
    std::string first = pcm(std::vector<std::int16_t>(22050 * 3, 0x1234));
    std::string second = pcm(ramp(3, 2205));
    write_file(dir / "first.wav", wav(first));
    write_file(dir / "second.wav", wav(second));
    ASSERT_TRUE(play((dir / "first.wav").string()));
    ASSERT_TRUE(play((dir / "second.wav").string()));
    std::string got = wait_for(out, second);
    ASSERT_NE(got.find(second), std::string::npos);
    // Let a first sound that was not stopped write on for a while.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    got = read_file(out);
    EXPECT_EQ(got.find(first.substr(0, 8)), std::string::npos) << "the first sound went on playing";
}

TEST(PlaySounds, FalseForWhatIsNotAReadableWav) {
    scratch dir;
    to_disk(dir);
    std::filesystem::create_directory(dir / "folder.wav");
    write_file(dir / "empty.wav", "");
    write_file(dir / "text.wav", "这不是声音文件\n");
    std::string not_wave = wav(pcm(ramp(1, 100)));
    not_wave.replace(8, 4, "AVI ");
    write_file(dir / "avi.wav", not_wave);
    std::string no_format = wav(pcm(ramp(1, 100)));
    no_format.replace(12, 4, "junk");
    write_file(dir / "noformat.wav", no_format);
    for (const char* name :
         {"missing.wav", "folder.wav", "empty.wav", "text.wav", "avi.wav", "noformat.wav"})
        EXPECT_FALSE(play((dir / name).string())) << name;
    // A good file still plays after the bad ones.
    write_file(dir / "ok.wav", wav(pcm(ramp(1, 100))));
    EXPECT_TRUE(play((dir / "ok.wav").string()));
}

// ---- Clock -------------------------------------------------------------------

// Sets TZ for the length of a test, then puts back what was there.
class time_zone {
  public:
    explicit time_zone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~time_zone() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    time_zone(const time_zone&) = delete;
    time_zone& operator=(const time_zone&) = delete;

  private:
    std::optional<std::string> old_;
};

TEST(Clock, FieldsAreTheLocalTimeOfTheMoment) {
    // Five and a half hours east of UTC: the local minute is never the UTC one,
    // so fields taken from UTC would not pass.
    time_zone zone("VLM-5:30");
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::time_t before = std::time(nullptr);
        int y = year(), mo = month(), d = day(), h = hour(), mi = minute(), s = second();
        std::time_t after = std::time(nullptr);
        // The second changed between the reads: the fields may disagree.
        if (before != after) continue;
        std::tm local{}, utc{};
        localtime_r(&before, &local);
        gmtime_r(&before, &utc);
        EXPECT_EQ(y, local.tm_year + 1900);
        EXPECT_EQ(mo, local.tm_mon + 1);
        EXPECT_EQ(d, local.tm_mday);
        EXPECT_EQ(h, local.tm_hour);
        EXPECT_EQ(mi, local.tm_min);
        EXPECT_EQ(s, local.tm_sec);
        EXPECT_NE(mi, utc.tm_min);
        EXPECT_GE(mo, 1);
        EXPECT_LE(mo, 12);
        EXPECT_GE(y, 2024);
        return;
    }
    FAIL() << "the second changed during every one of 20 reads";
}

} // namespace
