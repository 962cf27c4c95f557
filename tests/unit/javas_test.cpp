#include "launcher/javas.h"

#include "scratch.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// What a Java prints for -XshowSettings:properties -version, trimmed to the
// lines that matter and a neighbour each.
std::string settings(const std::string& release, const std::string& version,
                     const std::string& model, const std::string& end = "\n") {
    std::string text = "Property settings:" + end + "    java.home = /opt/j" + end;
    if (!release.empty()) text += "    java.specification.version = " + release + end;
    if (!version.empty()) text += "    java.version = " + version + end;
    if (!model.empty()) text += "    sun.arch.data.model = " + model + end;
    return text + "    user.name = x" + end + end + "openjdk version \"" + version + "\"" + end;
}

struct settings_case {
    std::string printed;
    bool read;
    int major;
    bool wide;
};

TEST(ReadSettings, TakesVersionAndDataModel) {
    const settings_case cases[] = {
        {settings("1.8", "1.8.0_392", "64"), true, 8, true},
        {settings("17", "17.0.9", "64"), true, 17, true},
        {settings("1.8", "1.8.0_391", "32"), true, 8, false},
        {settings("21", "21", "32", "\r\n"), true, 21, false}, // Windows line ends
        {settings("", "1.8.0_202", "64"), true, 8, true}, // the version when the release is missing
        {settings("11", "", "") + "OpenJDK 64-Bit Server VM", true, 11,
         true}, // no data model: the VM's name
        {settings("1.8", "1.8.0_111", ""), true, 8, false},
        {settings("", "", "64"), false, -1, true},
        {"Error: could not find java.dll\n", false, -1, true},
        {"java.specification.version = 1.8\n", true, 8, false}, // at the start of a line
        {"    java.specification.version.x = 9\n", false, -1, true},
        {"    xjava.specification.version = 9\n", false, -1, true},
        {"    java.specification.version = abc\n", false, -1, true},
    };
    for (const auto& c : cases) {
        java_found found;
        EXPECT_EQ(read_settings(c.printed, found), c.read) << c.printed;
        if (!c.read) continue;
        EXPECT_EQ(found.major, c.major) << c.printed;
        EXPECT_EQ(found.wide, c.wide) << c.printed;
    }
}

TEST(MajorOf, OldAndNewForms) {
    const std::pair<std::string, int> cases[] = {
        {"1.8", 8}, {"1.8.0_392", 8}, {"17", 17}, {"17.0.9", 17},
        {"1", 1},   {"9-ea", 9},      {"", -1},   {"x1.8", -1},
    };
    for (const auto& [version, major] : cases)
        EXPECT_EQ(major_of(version), major) << version;
}

TEST(Order, Java8Of64BitFirstThenJava8ThenByVersion) {
    std::vector<java_found> found = {
        {"a", 17, true}, {"b", 8, false}, {"c", 11, false}, {"d", 8, true},
        {"e", 11, true}, {"f", 7, true},  {"g", 8, true},   {"h", 21, true},
    };
    order(found);
    std::string paths;
    for (const auto& one : found)
        paths += one.path;
    EXPECT_EQ(paths, "dgbfecah");
}

TEST(ListText, NumberedWithPathsInOneColumn) {
    std::vector<java_found> found = {
        {"C:\\Program Files\\Eclipse Adoptium\\jre-8.0.392.8-hotspot\\bin\\java.exe", 8, true},
        {"C:\\Program Files\\Java\\jdk-17\\bin\\java.exe", 17, true},
        {"C:\\Program Files (x86)\\Java\\jre1.8.0_391\\bin\\java.exe", 8, false},
    };
    EXPECT_EQ(list_text(found),
              "找到以下 Java：\n"
              "  [1] Java 8（64 位）  C:\\Program Files\\Eclipse "
              "Adoptium\\jre-8.0.392.8-hotspot\\bin\\java.exe\n"
              "  [2] Java 17（64 位） C:\\Program Files\\Java\\jdk-17\\bin\\java.exe\n"
              "  [3] Java 8（32 位）  C:\\Program Files (x86)\\Java\\jre1.8.0_391\\bin\\java.exe\n"
              "输入编号选择，或输入 java.exe 的路径。\n");
    EXPECT_EQ(list_text({}),
              "没有找到可以运行的 Java。请先安装 Java 8（64 位），再输入它的 java.exe 的路径。\n");
}

TEST(Pick, NumbersOnTheListOthersAndPaths) {
    const std::tuple<std::string, size_t, int> cases[] = {
        {"1", 3, 1},
        {"3", 3, 3},
        {" 2 \n", 3, 2},
        {"02", 3, 2},
        {"4", 3, -1},
        {"0", 3, -1},
        {"1", 0, -1},
        {"99999999999999999999", 3, -1},
        {"/usr/bin/java", 3, 0},
        {"1 2", 3, 0},
        {"\"1\"", 3, 0},
        {"-1", 3, 0},
    };
    for (const auto& [answer, count, chosen] : cases)
        EXPECT_EQ(pick(answer, count), chosen) << answer << " of " << count;
}

// A program in the scratch folder that runs the shell text.
std::string program(const scratch& dir, const std::string& name, const std::string& text) {
    std::filesystem::path path = dir / name;
    write_file(path, "#!/bin/sh\n" + text + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path.string();
}

TEST(CheckJavas, AllAtOnceWithinTheLimit) {
    scratch dir;
    struct {
        std::string name, text;
        bool ended;
        std::string printed;
    } cases[] = {
        {"prints", "echo \"$1 $2\" >&2; echo out", true,
         "-XshowSettings:properties -version\nout\n"},
        {"fails", "echo bad >&2; exit 1", false, "bad\n"},
        {"reads", "read line; echo \"[$line]\"", true, "[]\n"},
        {"hangs", "echo $$ > pid; echo started; exec sleep 60", false, "started\n"},
        {"leaves", "(sleep 60 &) ; echo gone", false, "gone\n"},
        {"floods", "head -c 1000000 /dev/zero", false, ""},
        {"missing", "", false, ""},
    };
    std::vector<std::string> paths;
    for (const auto& c : cases)
        paths.push_back(c.name == "missing" ? (dir / "nothing").string()
                                            : program(dir, c.name, c.text));
    dir.enter();
    std::vector<java_run> runs = check_javas(paths, 3000);
    // The one that hung was ended and waited for.
    pid_t hung = std::stoi(read_file(dir / "pid"));
    EXPECT_EQ(kill(hung, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    ASSERT_EQ(runs.size(), std::size(cases));
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].path, paths[i]);
        EXPECT_EQ(runs[i].ended, cases[i].ended) << cases[i].name;
        if (cases[i].name != "floods") {
            EXPECT_EQ(runs[i].printed, cases[i].printed) << cases[i].name;
        }
        EXPECT_LE(runs[i].printed.size(), 64u * 1024) << cases[i].name;
    }
}

} // namespace
