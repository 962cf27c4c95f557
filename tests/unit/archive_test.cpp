// The download and archive commands: the command lines, byte for byte, and how
// the Linux stand-in reads them.

#include "posix/powershell.h"
#include "posix/temp.h"
#include "scratch.h"
#include "util/archive.h"
#include "util/files.h"

#include <gtest/gtest.h>

namespace {

TEST(Lines, ComposedExactly) {
    struct row {
        std::string got, want;
    };
    const row rows[] = {
        {download_line("1.12.2.zip", "https://127.0.0.1:8443/tarnwick/server/1.12.2.zip"),
         "powershell curl  -o 1.12.2.zip https://127.0.0.1:8443/tarnwick/server/1.12.2.zip"},
        {download_line("a b.zip", "https://h/x y"), "powershell curl  -o a b.zip https://h/x y"},
        {unzip_line("1.12.2.zip", ".\\1.12.2"),
         "powershell Expand-Archive -LiteralPath '1.12.2.zip' -DestinationPath '.\\1.12.2'"},
        {unzip_line("my server.zip", "d e"),
         "powershell Expand-Archive -LiteralPath 'my server.zip' -DestinationPath 'd e'"},
        {zip_line("1.12.2", "backup.zip"), "powershell Compress-Archive '1.12.2' 'backup.zip'"},
        {zip_line("", ""), "powershell Compress-Archive '' ''"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.got, r.want);
}

TEST(PsWords, QuotesAsPowerShellReadsThem) {
    struct row {
        const char* line;
        std::vector<std::string> want;
    };
    const row rows[] = {
        {"curl  -o 1.12.2.zip https://h/p", {"curl", "-o", "1.12.2.zip", "https://h/p"}},
        {"Expand-Archive -LiteralPath 'a b.zip' -DestinationPath '.\\1.12.2'",
         {"Expand-Archive", "-LiteralPath", "a b.zip", "-DestinationPath", ".\\1.12.2"}},
        {"x 'it''s' \"two words\" ''", {"x", "it's", "two words", ""}},
        {"x 'unclosed", {"x", "unclosed"}},
        {"  ", {}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ps_words(r.line), r.want) << r.line;
}

TEST(Downloads, CurrentDirectoryComesBackEvenWhenItFails) {
    scratch dir;
    dir.enter();
    std::filesystem::create_directory(dir / "sub");
    std::string before = get_cd();
    {
        capture err(2);
        // Nothing listens on port 9 of the loopback: the download fails at once.
        downloads(".\\", "https://127.0.0.1:9/x.zip", "x.zip");
        downloads("sub", "https://127.0.0.1:9/x.zip", "x.zip");
        EXPECT_NE(err.text().find("https://127.0.0.1:9/x.zip"), std::string::npos);
    }
    EXPECT_EQ(get_cd(), before);
    EXPECT_FALSE(file_check("x.zip"));
    EXPECT_FALSE(file_check("sub\\x.zip"));
}

TEST(Downloads, OnlyHttpsIsFetched) {
    scratch dir;
    dir.enter();
    capture err(2);
    downloads(".\\", "http://127.0.0.1:9/x.zip", "x.zip");
    downloads(".\\", "file:///etc/passwd", "y.zip");
    EXPECT_FALSE(file_check("x.zip"));
    EXPECT_FALSE(file_check("y.zip"));
    EXPECT_NE(err.text().find("HTTPS"), std::string::npos);
}

TEST(PowerShell, UnknownCommandsAndParametersAreRefused) {
    scratch dir;
    dir.enter();
    struct row {
        const char* command;
        const char* message;
    };
    const row rows[] = {
        {"Remove-Item -Recurse .", "无法将“Remove-Item”项识别为 cmdlet"},
        {"Expand-Archive -Bogus 'a' -DestinationPath 'b'", "找不到与参数名称“Bogus”匹配的参数"},
        {"Expand-Archive -LiteralPath 'a.zip'", "缺少参数“destinationpath”的值"},
        {"Compress-Archive 'a' 'b' 'c'", "找不到接受实际参数“c”的位置形式参数"},
    };
    for (const auto& r : rows) {
        capture err(2);
        EXPECT_EQ(powershell(r.command), 1) << r.command;
        EXPECT_NE(err.text().find(r.message), std::string::npos) << err.text();
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// A staging folder is removed from a signal handler: all of it, whatever its
// size and depth, and nothing a link in it points to.
TEST(Staging, RemovedWholeWithoutFollowingLinks) {
    namespace fs = std::filesystem;
    scratch dir;
    fs::create_directories(dir / "outside/kept");
    write_file(dir / "outside/kept/file", "keep");
    fs::path stage = dir / ".1.12.2.extract-abcdef";
    fs::path deep = stage;
    for (int i = 0; i < 20; ++i)
        deep /= std::to_string(i);
    fs::create_directories(deep);
    // More names than one read of the folder returns.
    for (int i = 0; i < 300; ++i)
        write_file(stage / (std::to_string(i) + ".txt"), "x");
    write_file(deep / "leaf", "x");
    fs::create_directory_symlink(dir / "outside/kept", stage / "to-folder");
    fs::create_symlink(dir / "outside/kept/file", deep / "to-file");
    remove_tree(stage.c_str());
    EXPECT_FALSE(fs::exists(fs::symlink_status(stage)));
    EXPECT_EQ(read_file(dir / "outside/kept/file"), "keep");
}

} // namespace
