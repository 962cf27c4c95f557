#include "util/files.h"

#include "scratch.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t gib = std::int64_t(1) << 30;

// A path written with backslashes, as the launcher writes them.
std::string backslashed(const fs::path& path) {
    std::string text = path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(CharString, CopiesUpToTheNul) {
    EXPECT_EQ(char_string(""), "");
    EXPECT_EQ(char_string(nullptr), "");
    EXPECT_EQ(char_string("vellomar"), "vellomar");
    EXPECT_EQ(char_string("\xcf\xc2\xd4\xd8 \x01\xff"), "\xcf\xc2\xd4\xd8 \x01\xff");
    EXPECT_EQ(char_string("ab\0cd"), "ab");
}

TEST(Cd, ChangesAndReports) {
    scratch dir;
    dir.enter();
    fs::create_directories(dir / "a/b");
    cd((dir / "a").string());
    EXPECT_EQ(get_cd(), (dir / "a").string());
    EXPECT_TRUE(file_check("b"));
    cd("b");
    EXPECT_EQ(get_cd(), (dir / "a/b").string());
    cd("..");
    EXPECT_EQ(get_cd(), (dir / "a").string());
    cd("/");
    EXPECT_EQ(get_cd(), "/");
}

TEST(Cd, MissingPathLeavesItAlone) {
    scratch dir;
    dir.enter();
    write_file("plain", "x");
    for (const char* bad : {"nosuch", "nosuch\\deeper", "plain", ""}) {
        cd(bad);
        EXPECT_EQ(get_cd(), dir.path().string()) << "[" << bad << "]";
        EXPECT_FALSE(enter(bad)) << "[" << bad << "]";
        EXPECT_EQ(get_cd(), dir.path().string()) << "[" << bad << "]";
    }
    fs::create_directory("there");
    EXPECT_TRUE(enter("there"));
    EXPECT_EQ(get_cd(), (dir / "there").string());
}

TEST(Cd, Backslashes) {
    scratch dir;
    dir.enter();
    fs::create_directories(dir / "vellomar/1.12.2");
    cd("vellomar\\1.12.2");
    EXPECT_EQ(get_cd(), (dir / "vellomar/1.12.2").string());
    cd("..\\..");
    EXPECT_EQ(get_cd(), dir.path().string());
    cd(backslashed(dir / "vellomar"));
    EXPECT_EQ(get_cd(), (dir / "vellomar").string());
}

TEST(FileCheck, FilesAndFolders) {
    scratch dir;
    dir.enter();
    fs::create_directories("vellomar/1.12.2");
    write_file("vellomar/1.12.2/eula.txt", "eula=false\n");
    write_file("empty", "");
    EXPECT_TRUE(file_check("empty"));
    EXPECT_TRUE(file_check("vellomar"));
    EXPECT_TRUE(file_check(".\\vellomar\\1.12.2\\eula.txt"));
    EXPECT_TRUE(file_check(backslashed(dir / "vellomar/1.12.2")));
    EXPECT_TRUE(file_check((dir / "vellomar/1.12.2/eula.txt").string()));
    EXPECT_FALSE(file_check("vellomar\\1.12.2\\java"));
    EXPECT_FALSE(file_check("nosuch"));
    EXPECT_FALSE(file_check(""));
    EXPECT_TRUE(folder_check(".\\vellomar\\1.12.2"));
    EXPECT_FALSE(folder_check("vellomar\\1.12.2\\eula.txt"));
    EXPECT_FALSE(folder_check("nosuch"));
}

TEST(HoldFolder, OneHolderAtATime) {
    scratch dir;
    dir.enter();
    fs::create_directories("vellomar/1.12.2");
    write_file("plain", "x");
    // Each call opens the folder anew, as a second launcher would.
    EXPECT_EQ(hold_folder(backslashed(dir / "vellomar")), 1);
    EXPECT_EQ(hold_folder("vellomar"), 0);
    EXPECT_EQ(hold_folder("vellomar\\1.12.2"), 1);
    EXPECT_EQ(hold_folder("plain"), -1);
    EXPECT_EQ(hold_folder("nosuch"), -1);
}

TEST(FileSize, SmallFiles) {
    scratch dir;
    dir.enter();
    write_file("empty", "");
    write_file("seven", "1234567");
    fs::create_directory("sub");
    write_file("sub/two", "ab");
    EXPECT_EQ(file_size(nullptr), 0);
    EXPECT_EQ(file_size("nosuch"), 0);
    EXPECT_EQ(file_size(""), 0);
    EXPECT_EQ(file_size("empty"), 0);
    EXPECT_EQ(file_size("seven"), 7);
    EXPECT_EQ(file_size("sub\\two"), 2);
}

TEST(ReadPart, FromEitherEndAndNoFurtherThanTheFile) {
    scratch dir;
    dir.enter();
    write_file("digits", "0123456789");
    const struct {
        std::int64_t at, length;
        const char* want;
    } rows[] = {
        {0, -1, "0123456789"}, {3, 4, "3456"}, {-3, -1, "789"}, {-20, -1, "0123456789"},
        {8, 10, "89"},         {20, -1, ""},   {-3, 2, "78"},   {0, 0, ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(read_part("digits", r.at, r.length), r.want) << r.at << " " << r.length;
    EXPECT_EQ(read_part("nosuch"), "");
    fs::create_directory("sub");
    EXPECT_EQ(read_part("sub"), "");
    write_file("sub/digits", "0123456789");
    EXPECT_EQ(read_part("sub\\digits", 3, 4), "3456");
}

TEST(FileSize, LargeFilesKeepAllBits) {
    scratch dir;
    dir.enter();
    // Sparse files: the sizes are real, the disk blocks are not.
    for (std::int64_t size : {3 * gib, 4 * gib, 5 * gib, 5 * gib + 3}) {
        std::error_code ec;
        write_file("big", "");
        fs::resize_file("big", static_cast<std::uintmax_t>(size), ec);
        if (ec) GTEST_SKIP() << "no sparse file of " << size << " bytes here: " << ec.message();
        EXPECT_EQ(file_size("big"), size);
        EXPECT_GT(file_size(".\\big"), 0);
    }
}

TEST(ReplaceFile, KeepsTheModeAndLeavesNothingBeside) {
    scratch dir;
    dir.enter();
    for (auto mode : {0444, 0600, 0755}) {
        write_file("eula.txt", "eula=false\n");
        fs::permissions("eula.txt", static_cast<fs::perms>(mode));
        EXPECT_TRUE(replace_file("eula.txt", "eula=true\n"));
        EXPECT_EQ(read_file("eula.txt"), "eula=true\n");
        EXPECT_EQ(static_cast<int>(fs::status("eula.txt").permissions()), mode) << mode;
    }
    // Made when missing; nothing of either left beside them.
    EXPECT_TRUE(replace_file("new.txt", "x"));
    EXPECT_EQ(read_file("new.txt"), "x");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator("."))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"eula.txt", "new.txt"}));
}

TEST(MakeFolder, CreatesParents) {
    scratch dir;
    dir.enter();
    make_folder("vellomar\\1.12.2\\world");
    EXPECT_TRUE(fs::is_directory("vellomar/1.12.2/world"));
    make_folder(backslashed(dir / "abs/olute"));
    EXPECT_TRUE(fs::is_directory(dir / "abs/olute"));
}

TEST(MakeFolder, ExistingFolderIsKept) {
    scratch dir;
    dir.enter();
    fs::create_directory("vellomar");
    write_file("vellomar/keep", "k");
    capture err(STDERR_FILENO);
    make_folder("vellomar");
    EXPECT_EQ(err.text(), "子目录或文件 vellomar 已经存在。\n");
    EXPECT_EQ(read_file("vellomar/keep"), "k");
}

TEST(DelFolder, RemovesEverything) {
    scratch dir;
    dir.enter();
    fs::create_directories("vellomar/1.12.2/world/region");
    write_file("vellomar/1.12.2/java", "j \n");
    write_file("vellomar/1.12.2/world/region/r.0.0.mca", "mca");
    write_file("vellomar/1.12.2.zip", "zip");
    del_folder("vellomar\\1.12.2");
    EXPECT_FALSE(fs::exists("vellomar/1.12.2"));
    EXPECT_EQ(read_file("vellomar/1.12.2.zip"), "zip");
    del_folder("vellomar");
    EXPECT_FALSE(fs::exists("vellomar"));
}

TEST(RemoveName, WhateverItHoldsAndNoFurtherThanALink) {
    scratch dir;
    dir.enter();
    fs::create_directories("kept/inside");
    write_file("kept/inside/f", "f");
    const std::vector<std::pair<const char*, void (*)()>> rows = {
        {"folder",
         [] {
             fs::create_directories(".stage/sub");
             write_file(".stage/sub/f", "f");
         }},
        {"file", [] { write_file(".stage", "f"); }},
        {"link to a folder", [] { fs::create_directory_symlink("kept", ".stage"); }},
        {"link to a file", [] { fs::create_symlink("kept/inside/f", ".stage"); }},
        {"link that leads nowhere", [] { fs::create_symlink("nowhere", ".stage"); }},
    };
    for (const auto& [what, make] : rows) {
        make();
        remove_name(".stage");
        EXPECT_FALSE(fs::exists(fs::symlink_status(".stage"))) << what;
        EXPECT_EQ(read_file("kept/inside/f"), "f") << what;
    }
    remove_name("nosuch");
}

TEST(MoveName, NeverReplaces) {
    scratch dir;
    dir.enter();
    fs::create_directories(".new/sub");
    write_file(".new/sub/f", "new");
    write_file("taken", "mine");
    fs::create_directory("folder");
    EXPECT_FALSE(move_name(".new", "taken"));
    EXPECT_FALSE(move_name(".new", "folder"));
    EXPECT_EQ(read_file("taken"), "mine");
    EXPECT_TRUE(move_name(".new", "made"));
    EXPECT_EQ(read_file("made/sub/f"), "new");
    EXPECT_FALSE(fs::exists(".new"));
}

class GetFileNames : public ::testing::Test {
  protected:
    void SetUp() override {
        here.enter();
        fs::create_directories("d/sub.txt");
        fs::create_directories("d/other");
        for (const char* name : {"a.txt", "B.TXT", "c.Txt", "c.txt.bak", "dtxt", "e.log", ".txt"})
            write_file(fs::path("d") / name, name);
    }
    scratch here;
};

TEST_F(GetFileNames, EndingMatchesWithoutCase) {
    std::vector<std::string> names;
    get_file_names("d", names, ".txt");
    EXPECT_EQ(sorted(names), (std::vector<std::string>{"d\\.txt", "d\\B.TXT", "d\\a.txt",
                                                       "d\\c.Txt", "d\\sub.txt"}));
    names.clear();
    get_file_names("d", names, ".LOG");
    EXPECT_EQ(names, (std::vector<std::string>{"d\\e.log"}));
}

TEST_F(GetFileNames, EmptyPatternListsEverything) {
    std::vector<std::string> names;
    get_file_names("d", names, "");
    EXPECT_EQ(sorted(names), (std::vector<std::string>{
                                 "d\\.", "d\\..", "d\\.txt", "d\\B.TXT", "d\\a.txt", "d\\c.Txt",
                                 "d\\c.txt.bak", "d\\dtxt", "d\\e.log", "d\\other", "d\\sub.txt"}));
}

TEST_F(GetFileNames, NoMatchLeavesTheList) {
    std::vector<std::string> names = {"kept"};
    get_file_names("d", names, ".zip");
    EXPECT_EQ(names, std::vector<std::string>{"kept"});
    get_file_names("nosuch", names, "");
    EXPECT_EQ(names, std::vector<std::string>{"kept"});
    get_file_names("d\\a.txt", names, "");
    EXPECT_EQ(names, std::vector<std::string>{"kept"});
}

TEST_F(GetFileNames, AppendsEachCall) {
    std::vector<std::string> names = {"kept"};
    get_file_names("d", names, ".log");
    get_file_names("d", names, ".log");
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "d\\e.log", "d\\e.log"}));
}

TEST_F(GetFileNames, DirIsKeptAsWritten) {
    fs::create_directories("d/other/inner");
    write_file("d/other/inner/x.txt", "x");
    std::vector<std::string> names;
    get_file_names(".\\d\\other\\inner", names, ".txt");
    EXPECT_EQ(names, std::vector<std::string>{".\\d\\other\\inner\\x.txt"});

    names.clear();
    std::string full = backslashed(here / "d/other/inner");
    get_file_names(full, names, ".txt");
    EXPECT_EQ(names, std::vector<std::string>{full + "\\x.txt"});
}
