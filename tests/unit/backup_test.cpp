#include "launcher/backup.h"

#include "scratch.h"
#include "util/archive.h"
#include "util/shell.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <set>
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

TEST(Expired, AllButTheLatestMade) {
    // Numbered backups come after those made before backups were numbered,
    // whatever their names; names order only those of the same number.
    std::vector<backup> found = {{"2099-01-01_00-00-00", "s", {}, 1},
                                 {"2026-01-03_00-00-00", "s", {}, 2},
                                 {"2025-12-31_23-59-59", "s", {}, 0},
                                 {"2026-01-01_00-00-00", "s", {}, 0}};
    EXPECT_EQ(expired(found, 2),
              (std::vector<std::string>{"2025-12-31_23-59-59", "2026-01-01_00-00-00"}));
    EXPECT_EQ(expired(found, 1),
              (std::vector<std::string>{"2025-12-31_23-59-59", "2026-01-01_00-00-00",
                                        "2099-01-01_00-00-00"}));
    EXPECT_TRUE(expired(found, 4).empty());
    EXPECT_TRUE(expired(found, 5).empty());
}

TEST(Manifest, WrittenAndReadBackInEveryForm) {
    backup made{"", "12-00000000000000ab", {"world.zip", "my world_nether.zip"}, 7};
    backup back;
    ASSERT_TRUE(read_manifest(manifest_text(made), back));
    EXPECT_EQ(back.sum, made.sum);
    EXPECT_EQ(back.order, 7);
    EXPECT_EQ(back.zips, made.zips);
    // The form echo wrote before backups were numbered: the fingerprint alone.
    for (std::string text : {"12-00000000000000ab \n", "12-00000000000000ab \r\n", "-"}) {
        ASSERT_TRUE(read_manifest(text, back)) << text;
        EXPECT_EQ(back.order, 0) << text;
        EXPECT_TRUE(back.zips.empty()) << text;
    }
    // Not a manifest the launcher wrote.
    for (std::string text :
         {"", " \n\n", "my notes about\nthis backup\n", "1-ab\nlater\n", "1-ab\n-3\n"})
        EXPECT_FALSE(read_manifest(text, back)) << text;
}

// What a backups folder holds before a backup, made in the backups folder
// current; sum is the world's fingerprint.
using setup = void (*)(const std::string& sum);

// A backup in the form made before backups were numbered.
void unnumbered(const std::string& name, const std::string& sum, bool zipped = true) {
    fs::create_directory(name);
    write_file(name + "/manifest.txt", sum + " \n");
    if (zipped) write_file(name + "/world.zip", "zip");
}

void numbered(const std::string& name, const std::string& sum, int order,
              const std::vector<std::string>& zips = {"world.zip"}, bool all = true) {
    fs::create_directory(name);
    write_file(name + "/manifest.txt", manifest_text({name, sum, zips, order}));
    for (size_t i = 0; i < zips.size() - (all ? 0 : 1); ++i)
        write_file(name + "/" + zips[i], "zip");
}

struct pruned {
    const char* what;
    setup before;
    // The backup found unchanged, or nullptr when one is made.
    const char* unchanged;
    // What the backups folder holds afterwards; "new" stands for the backup
    // made.
    std::set<std::string> after;
    // The new backup's order.
    int order;
};

TEST(BackUpWorld, OnlyWholeBackupsOfItsOwnCountAndGoLatestMadeFirst) {
    const std::vector<pruned> cases = {
        {"the user's folders and files stay, the oldest of the launcher's goes",
         [](const std::string&) {
             fs::create_directory("2000-01-01_00-00-00");
             write_file("2000-01-01_00-00-00/notes.txt", "mine");
             write_file("2000-01-02_00-00-00", "a file of the user's");
             fs::create_directory("2000-01-03_00-00-00");
             write_file("2000-01-03_00-00-00/manifest.txt", "my notes about\nthis backup\n");
             write_file("2000-01-03_00-00-00/world.zip", "mine");
             for (int i = 0; i < 5; ++i)
                 unnumbered("2020-01-01_00-00-0" + std::to_string(i), "0-0");
         },
         nullptr,
         {"2000-01-01_00-00-00", "2000-01-02_00-00-00", "2000-01-03_00-00-00",
          "2020-01-01_00-00-01", "2020-01-01_00-00-02", "2020-01-01_00-00-03",
          "2020-01-01_00-00-04", "new"},
         1},
        {"the latest made is the newest, named in the future or not",
         [](const std::string& sum) {
             for (int i = 0; i < 5; ++i)
                 numbered("2099-01-01_00-00-0" + std::to_string(i), "0-0", i + 1);
             numbered("2020-01-01_00-00-00", sum, 6);
         },
         "2020-01-01_00-00-00",
         {"2099-01-01_00-00-00", "2099-01-01_00-00-01", "2099-01-01_00-00-02",
          "2099-01-01_00-00-03", "2099-01-01_00-00-04", "2020-01-01_00-00-00"},
         0},
        {"after backups named in the future, the new one stays and theirs go",
         [](const std::string&) {
             for (int i = 0; i < 5; ++i)
                 numbered("2099-01-01_00-00-0" + std::to_string(i), "0-0", i + 3);
         },
         nullptr,
         {"2099-01-01_00-00-01", "2099-01-01_00-00-02", "2099-01-01_00-00-03",
          "2099-01-01_00-00-04", "new"},
         8},
        {"a backup that lost a zip does not count, and is left alone",
         [](const std::string& sum) {
             unnumbered("2020-01-01_00-00-00", sum, false);
             numbered("2020-01-01_00-00-01", sum, 4, {"world.zip", "world_nether.zip"}, false);
         },
         nullptr,
         {"2020-01-01_00-00-00", "2020-01-01_00-00-01", "new"},
         1},
        {"what a backup cut short left while made or removed is swept",
         [](const std::string& sum) {
             fs::create_directory(".2020-01-01_00-00-00.new");
             write_file(".2020-01-01_00-00-00.new/world.zip", "half");
             numbered(".2020-01-01_00-00-01.old", sum, 9);
             fs::create_symlink("nowhere", ".2020-01-01_00-00-02.new");
             write_file(".2020-01-01_00-00-03.old", "");
             fs::create_directory(".notes.new");
         },
         nullptr,
         {".notes.new", "new"},
         1},
    };
    for (const auto& c : cases) {
        scratch dir;
        fs::create_directories(dir / "server/world");
        fs::create_directories(dir / "backups");
        write_file(dir / "server/world/level.dat", "level");
        dir.enter();
        fs::current_path("server");
        const std::string sum = fingerprint({"world"});
        fs::current_path("../backups");
        c.before(sum);
        fs::current_path("../server");
        std::string said, again;
        {
            capture out(STDOUT_FILENO);
            EXPECT_TRUE(back_up_world("caption")) << c.what;
            said = out.text();
        }
        std::string made = c.unchanged ? c.unchanged : "";
        if (c.unchanged) {
            EXPECT_EQ(said,
                      "世界自上次备份（vellomar/backups/" + made + "）以来没有变化，不再备份。\n")
                << c.what;
        } else {
            const std::string mark = "已备份到 vellomar/backups/";
            ASSERT_NE(said.find(mark), std::string::npos) << c.what << ": " << said;
            made = said.substr(said.find(mark) + mark.size(), 19);
            EXPECT_EQ(said, "正在备份世界……\n" + mark + made + "\n") << c.what;
            backup read;
            ASSERT_TRUE(read_manifest(read_file(dir / "backups" / made / "manifest.txt"), read));
            EXPECT_EQ(read.sum, sum) << c.what;
            EXPECT_EQ(read.order, c.order) << c.what;
            EXPECT_EQ(read.zips, std::vector<std::string>{"world.zip"}) << c.what;
        }
        std::set<std::string> after;
        for (const auto& entry : fs::directory_iterator(dir / "backups")) {
            std::string name = entry.path().filename().string();
            after.insert(!c.unchanged && name == made ? "new" : name);
        }
        EXPECT_EQ(after, c.after) << c.what;
        if (fs::exists(dir / "backups/2000-01-01_00-00-00")) {
            EXPECT_EQ(read_file(dir / "backups/2000-01-01_00-00-00/notes.txt"), "mine");
        }
        EXPECT_EQ(newest_backup(), "vellomar/backups/" + made) << c.what;
        // The next start finds the backup just made, or found, the newest.
        {
            capture out(STDOUT_FILENO);
            EXPECT_TRUE(back_up_world("caption")) << c.what;
            again = out.text();
        }
        EXPECT_EQ(again,
                  "世界自上次备份（vellomar/backups/" + made + "）以来没有变化，不再备份。\n")
            << c.what;
    }
}

TEST(BackUpWorld, AWorldThatIsALinkIsZippedAndCheckedAsWhatItLeadsTo) {
    scratch dir;
    fs::create_directories(dir / "other disk/world/region");
    write_file(dir / "other disk/world/level.dat", "level");
    write_file(dir / "other disk/world/region/r.0.0.mca", "region");
    // A link inside the world stays a link.
    fs::create_symlink("level.dat", dir / "other disk/world/alias");
    fs::create_directories(dir / "server");
    fs::create_symlink(dir / "other disk/world", dir / "server/world");
    dir.enter();
    fs::current_path("server");
    auto backed_up = [] {
        capture out(STDOUT_FILENO);
        EXPECT_TRUE(back_up_world("caption"));
        const std::string said = out.text(), mark = "已备份到 vellomar/backups/";
        return said.find(mark) == std::string::npos
                   ? ""
                   : said.substr(said.find(mark) + mark.size(), 19);
    };
    const std::string first = backed_up();
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(shell(unzip_line("..\\backups\\" + first + "\\world.zip", "..\\restored")), 0);
    EXPECT_EQ(read_file(dir / "restored/world/level.dat"), "level");
    EXPECT_EQ(read_file(dir / "restored/world/region/r.0.0.mca"), "region");
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / "restored/world")));
    EXPECT_EQ(fs::read_symlink(dir / "restored/world/alias"), "level.dat");
    EXPECT_EQ(backed_up(), "");
    // A change in what the link leads to is a change of the world.
    write_file(dir / "other disk/world/level.dat", "level, played");
    const std::string second = backed_up();
    EXPECT_FALSE(second.empty());
    EXPECT_NE(second, first);
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
