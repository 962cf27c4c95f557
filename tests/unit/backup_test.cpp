#include "launcher/backup.h"

#include "scratch.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

TEST(LevelName, ReadAsTheServerReadsIt) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "world"},
        {"motd=A server\n", "world"},
        {"#level-name=old\nlevel-name=survival\n", "survival"},
        {"level-name=a\r\nlevel-name=b\r\n", "b"},
        {"  level-name : my world\n", "my world"},
        {"level-name\tspaced\n", "spaced"},
        {"level-name=\n", "world"},
        {"! comment\nlevel-name=\\u4e16\\u754c\n", "\xe4\xb8\x96\xe7\x95\x8c"},
        {"level-name=caf\xe9\n", "caf\xc3\xa9"},
        {"level-name=a\\:b\n", "a:b"},
        {"level-names=other\n", "world"},
    };
    for (const auto& [text, name] : cases)
        EXPECT_EQ(level_name(text), name) << text;
}

TEST(PlainName, OnlyWhatTheCommandLinesCarry) {
    // A quoted name is PowerShell's value, whatever it looks like.
    for (std::string name : {"world", "my world", "\xe4\xb8\x96\xe7\x95\x8c", "w.1", "-d",
                             "-literal", "\xe2\x80\x9cquoted\xe2\x80\x9d"})
        EXPECT_TRUE(plain_name(name)) << name;
    for (const std::string& name : std::vector<std::string>{
             "", ".", "..", "a/b", "a\\b", "it's", "a&b", "100%", "a\"b", "x:", "a\tb",
             std::string("a\0b", 3), "trail.", "trail ", " lead",
             // What PowerShell reads otherwise: wildcards, runs of blanks
             // joined into one, typographic single quotes ending the name.
             "w[1]", "a]", "a  b", "Tom\xe2\x80\x99s world", "\xe2\x80\x98x", "x\xe2\x80\x9b"})
        EXPECT_FALSE(plain_name(name)) << name;
}

TEST(Stamp, NamesOneMomentAndIsKnownAgain) {
    EXPECT_EQ(stamp(2026, 1, 2, 3, 4, 5), "2026-01-02_03-04-05");
    EXPECT_EQ(stamp(2026, 12, 31, 23, 59, 60), "2026-12-31_23-59-60");
    EXPECT_TRUE(stamped(stamp(2026, 12, 31, 23, 59, 59)));
    for (std::string name : {"2026-12-31_23-59-5", "2026-12-31 23-59-59", "2026-12-31_23-59-59x",
                             "manifest.txt", "abcd-12-31_23-59-59"})
        EXPECT_FALSE(stamped(name)) << name;
}

TEST(Expired, AllButTheNewest) {
    std::vector<std::string> names = {"2026-01-03_00-00-00", "2025-12-31_23-59-59",
                                      "2026-01-01_00-00-00", "2026-01-02_00-00-00"};
    EXPECT_EQ(expired(names, 2),
              (std::vector<std::string>{"2025-12-31_23-59-59", "2026-01-01_00-00-00"}));
    EXPECT_TRUE(expired(names, 4).empty());
    EXPECT_TRUE(expired(names, 5).empty());
}

TEST(Fingerprint, ChangesWithNamesSizesAndTimesOnly) {
    scratch dir;
    dir.enter();
    fs::create_directories("world/region");
    write_file("world/level.dat", "level");
    write_file("world/region/r.0.0.mca", "region");
    const std::string first = fingerprint({"world"});
    EXPECT_EQ(first.substr(0, 2), "3-");
    EXPECT_EQ(fingerprint({"world"}), first);
    auto when = fs::last_write_time("world/level.dat");
    // The same size and time: taken as unchanged, as no content is read.
    write_file("world/level.dat", "LEVEL");
    fs::last_write_time("world/level.dat", when);
    EXPECT_EQ(fingerprint({"world"}), first);
    // A new time, size, name or folder is a change.
    fs::last_write_time("world/level.dat", when + std::chrono::seconds(1));
    const std::string touched = fingerprint({"world"});
    EXPECT_NE(touched, first);
    write_file("world/level.dat", "level!");
    fs::last_write_time("world/level.dat", when + std::chrono::seconds(1));
    EXPECT_NE(fingerprint({"world"}), touched);
    fs::rename("world/region/r.0.0.mca", "world/region/r.0.1.mca");
    const std::string renamed = fingerprint({"world"});
    fs::create_directory("world/data");
    EXPECT_NE(fingerprint({"world"}), renamed);
    fs::create_directory("world_nether");
    EXPECT_NE(fingerprint({"world", "world_nether"}), fingerprint({"world"}));
    // A folder that cannot be walked matches no saved fingerprint.
    EXPECT_EQ(fingerprint({"missing"}), "");
}
