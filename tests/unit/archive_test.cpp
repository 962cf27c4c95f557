// The download and archive commands: the command lines, byte for byte, and how
// the Linux stand-in reads them.

#include "posix/bind.h"
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
        {download_line("1.12.2.zip", "https://127.0.0.1:8443/tarnwick/server/1.12.2.zip", true),
         "powershell curl.exe  -o 1.12.2.zip https://127.0.0.1:8443/tarnwick/server/1.12.2.zip"},
        {download_line("1.12.2.zip", "https://127.0.0.1:8443/tarnwick/server/1.12.2.zip", false),
         "powershell curl  -OutFile 1.12.2.zip https://127.0.0.1:8443/tarnwick/server/1.12.2.zip"},
        {download_line("a b.zip", "https://h/x y", true),
         "powershell curl.exe  -o a b.zip https://h/x y"},
        // Linux has no curl of Windows' own.
        {download_line("a b.zip", "https://h/x y"),
         "powershell curl  -OutFile a b.zip https://h/x y"},
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
        std::vector<std::pair<std::string, bool>> want; // text, quoted
    };
    const row rows[] = {
        {"curl  -o 1.12.2.zip https://h/p",
         {{"curl", false}, {"-o", false}, {"1.12.2.zip", false}, {"https://h/p", false}}},
        {"Expand-Archive -LiteralPath 'a b.zip' -DestinationPath '.\\1.12.2'",
         {{"Expand-Archive", false},
          {"-LiteralPath", false},
          {"a b.zip", true},
          {"-DestinationPath", false},
          {".\\1.12.2", true}}},
        {"x 'it''s' \"two `\"words\" ''",
         {{"x", false}, {"it's", true}, {"two \"words", true}, {"", true}}},
        // A quoted word ends with its quote; a bare one takes quoted parts in.
        {"'a'b c'd e'", {{"a", true}, {"b", false}, {"cd e", false}}},
        // Typographic quotes are quotes.
        {"'Tom\xe2\x80\x99s world'", {{"Tom", true}, {"s", false}, {"world", false}}},
        {"\xe2\x80\x9c-d\xe2\x80\x9d", {{"-d", true}}},
        {"x 'unclosed", {{"x", false}, {"unclosed", true}}},
        {"  ", {}},
    };
    for (const auto& r : rows) {
        std::vector<std::pair<std::string, bool>> got;
        for (const auto& word : ps_words(r.line))
            got.emplace_back(word.text, word.quoted);
        EXPECT_EQ(got, r.want) << r.line;
    }
}

// Binding as Windows PowerShell 5.1 binds: the values each parameter got, or
// why it failed.
TEST(PsBind, AsWindowsPowerShellBinds) {
    struct row {
        const char* line;
        std::vector<std::pair<std::string, std::string>> want; // parameter, value
        ps_fault fault = ps_fault::none;
        std::string at = {}; // the word or parameter at fault, or the matches
    };
    const row rows[] = {
        {"curl  -OutFile 1.12.2.zip https://h/1.12.2.zip",
         {{"OutFile", "1.12.2.zip"}, {"Uri", "https://h/1.12.2.zip"}}},
        {"iwr -outf a.zip -ur https://h -UseB",
         {{"OutFile", "a.zip"}, {"Uri", "https://h"}, {"UseBasicParsing", "True"}}},
        // The line as once composed: -o begins three parameters' names.
        {"curl  -o 1.12.2.zip https://h/1.12.2.zip",
         {},
         ps_fault::ambiguous,
         "OutFile OutVariable OutBuffer"},
        {"curl -ov v https://h", {{"OutVariable", "v"}, {"Uri", "https://h"}}},
        {"curl -Bogus x https://h", {}, ps_fault::unknown, "Bogus"},
        {"curl -Uri a -Uri b", {}, ps_fault::twice, "Uri"},
        {"curl https://h -OutFile", {}, ps_fault::no_value, "OutFile"},
        // A quoted word is a value, never a parameter's name.
        {"Compress-Archive '-d' '..\\b\\-d.zip'",
         {{"Path", "-d"}, {"DestinationPath", "..\\b\\-d.zip"}}},
        {"Compress-Archive -d x", {}, ps_fault::ambiguous, "DestinationPath Debug"},
        {"Expand-Archive -LiteralPath '-literal' -DestinationPath '-d'",
         {{"LiteralPath", "-literal"}, {"DestinationPath", "-d"}}},
        // Named values bind first, and positions count in the set they chose.
        {"Expand-Archive 'd' -PSPath 'a.zip'",
         {{"LiteralPath", "a.zip"}, {"DestinationPath", "d"}}},
        {"Expand-Archive -Path a -LiteralPath b", {}, ps_fault::sets, "LiteralPath"},
        {"Compress-Archive 'a' 'b' 'c'", {}, ps_fault::positional, "c"},
        {"Compress-Archive -Force:True a b",
         {{"Force", "True"}, {"Path", "a"}, {"DestinationPath", "b"}}},
    };
    for (const auto& r : rows) {
        auto words = ps_words(r.line);
        auto params = ps_parameters(ps_cmdlet(words[0].text));
        ps_binding bound = ps_bind(words, params);
        EXPECT_EQ(bound.fault, r.fault) << r.line;
        std::string at = bound.fault == ps_fault::no_value || bound.fault == ps_fault::twice
                             ? bound.param
                             : bound.word;
        if (bound.fault == ps_fault::ambiguous) {
            at.clear();
            for (const auto& name : bound.matches)
                at += (at.empty() ? "" : " ") + name;
        }
        EXPECT_EQ(at, r.at) << r.line;
        std::vector<std::pair<std::string, std::string>> got;
        for (const auto& [name, value] : r.want)
            got.emplace_back(name, ps_value(bound, params, name));
        EXPECT_EQ(got, r.want) << r.line;
        size_t given = 0;
        for (bool g : bound.given)
            given += g;
        if (r.fault == ps_fault::none) {
            EXPECT_EQ(given, r.want.size()) << r.line;
        }
    }
}

TEST(PsMatch, WildcardsAsPowerShellReadsThem) {
    struct row {
        const char* pattern;
        const char* name;
        bool match;
    };
    const row rows[] = {
        {"w[12]", "w1", true},
        {"w[12]", "w[12]", false},
        {"w`[1`]", "w[1]", true},
        {"w[a-c]x", "WBX", true},
        {"*_nether", "world_nether", true},
        {"?orld", "world", true},
        {"?", "\xe4\xb8\x96", true},
        {"w*", "x", false},
        {"w[1", "w1", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ps_match(r.pattern, r.name), r.match) << r.pattern << " " << r.name;
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
        {"Expand-Archive -LiteralPath 'a.zip'", "缺少参数“DestinationPath”的值"},
        {"Compress-Archive 'a' 'b' 'c'", "找不到接受实际参数“c”的位置形式参数"},
        {"Compress-Archive 'nowhere*' 'b.zip'", "路径“nowhere*”不存在"},
        {"iwr -Method Post -Uri https://h -OutFile a", "此替代程序不支持参数“-Method”"},
        {"iwr -o a -ov v https://h", "此替代程序不支持参数“-OutVariable”"},
        {"curl.exe -o a --insecure https://h", "curl: option --insecure: is unknown"},
    };
    for (const auto& r : rows) {
        capture err(2);
        EXPECT_EQ(powershell(r.command), 1) << r.command;
        EXPECT_NE(err.text().find(r.message), std::string::npos) << err.text();
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// Worlds named like parameters are archived and extracted, as PowerShell
// takes a quoted word for a value.
TEST(PowerShell, QuotedWordsAreValues) {
    namespace fs = std::filesystem;
    scratch dir;
    dir.enter();
    for (const char* name : {"-d", "-literal"}) {
        fs::create_directories(dir / name / "region");
        write_file(dir / name / "region" / "r.0.0.mca", name);
        std::string zip = std::string(name) + ".zip";
        EXPECT_EQ(powershell("Compress-Archive '" + std::string(name) + "' '" + zip + "'"), 0)
            << name;
        EXPECT_EQ(powershell("Expand-Archive -LiteralPath '" + zip + "' -DestinationPath '-out'"),
                  0)
            << name;
        EXPECT_EQ(read_file(dir / "-out" / name / "region" / "r.0.0.mca"), name);
    }
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
