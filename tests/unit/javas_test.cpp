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

// What real Javas print for -XshowSettings:properties -version: the dump
// (sorted, four blanks before each key), a blank line, the version lines.
const char oracle_8_x86[] =
    "Property settings:\r\n"
    "    java.specification.version = 1.8\r\n"
    "    java.version = 1.8.0_391\r\n"
    "    java.vm.name = Java HotSpot(TM) Client VM\r\n"
    "    os.arch = x86\r\n"
    "    sun.arch.data.model = 32\r\n"
    "\r\n"
    "java version \"1.8.0_391\"\r\n"
    "Java(TM) SE Runtime Environment (build 1.8.0_391-b13)\r\n"
    "Java HotSpot(TM) Client VM (build 25.391-b13, mixed mode, sharing)\r\n";
// Its os.arch as on a Mac, where a HotSpot would say x86_64.
const char openj9_8[] = "Property settings:\n"
                        "    java.specification.version = 1.8\n"
                        "    java.vm.name = Eclipse OpenJ9 VM\n"
                        "    os.arch = amd64\n"
                        "\n"
                        "openjdk version \"1.8.0_232\"\n"
                        "OpenJDK Runtime Environment (build 1.8.0_232-b09)\n"
                        "Eclipse OpenJ9 VM (build openj9-0.17.0, JRE 1.8.0 Mac OS X amd64-64-Bit "
                        "Compressed References 20191101_372 (JIT enabled, AOT enabled)\n"
                        "OpenJ9   - 77c1cf708\n"
                        "OMR      - 20db4fbc1\n"
                        "JCL      - 3504dff40aa based on jdk8u232-b09)\n";
// A 32-bit OpenJDK of Windows, its VM's name without its bits.
const char openjdk_8_x86[] = "Property settings:\r\n"
                             "    java.specification.version = 1.8\r\n"
                             "    java.vm.name = OpenJDK Server VM\r\n"
                             "    os.arch = x86\r\n"
                             "\r\n"
                             "openjdk version \"1.8.0_362-internal\"\r\n"
                             "OpenJDK Runtime Environment (build "
                             "1.8.0_362-internal-zzambers-54a485c13e59fa68ea9dc088f320520eedbe33fe-"
                             "b00)\r\n"
                             "OpenJDK Server VM (build 25.362-b00, mixed mode)\r\n";
const char ibm_8[] =
    "Property settings:\n"
    "    java.specification.version = 1.8\n"
    "    sun.arch.data.model = 64\n"
    "\n"
    "java version \"1.8.0_171\"\n"
    "Java(TM) SE Runtime Environment (build 8.0.6.0 - pxa6480sr6-20180423_01(SR6))\n"
    "IBM J9 VM (build 2.9, JRE 1.8.0 Linux amd64-64-Bit Compressed References "
    "20180426_385464 (JIT enabled, AOT enabled)\n"
    "OpenJ9   - 4b971df\n"
    "OMR      - 35eb960\n"
    "IBM      - 4f87eeb)\n"
    "JCL - 20180412_01 based on Oracle jdk8u171-b11\n";
const char zulu_8[] =
    "Property settings:\n"
    "    java.specification.version = 1.8\n"
    "    java.vendor = Azul Systems, Inc.\n"
    "    java.version = 1.8.0_20\n"
    "    os.arch = amd64\n"
    "    sun.arch.data.model = 64\n"
    "\n"
    "openjdk version \"1.8.0_20\"\n"
    "OpenJDK Runtime Environment (Zulu 8.3.0.1-linux64) (build 1.8.0_20-b26)\n"
    "OpenJDK 64-Bit Server VM (Zulu 8.3.0.1-linux64) (build 25.20-b23, mixed mode)\n";
// Picked up first, as every Java says when the variable is set.
const char corretto_8[] = "Picked up _JAVA_OPTIONS: -Xmx1G\n"
                          "Property settings:\n"
                          "    java.specification.version = 1.8\n"
                          "    java.vendor = Amazon.com Inc.\n"
                          "    os.arch = amd64\n"
                          "    sun.arch.data.model = 64\n"
                          "\n"
                          "openjdk version \"1.8.0_275\"\n"
                          "OpenJDK Runtime Environment Corretto-8.275.01.1 (build 1.8.0_275-b01)\n"
                          "OpenJDK 64-Bit Server VM Corretto-8.275.01.1 (build 25.275-b01, mixed "
                          "mode)\n";
// 64-bit, though its VM's name does not say so.
const char liberica_11[] = "openjdk version \"11.0.2-BellSoft\" 2018-10-16\n"
                           "OpenJDK Runtime Environment (build 11.0.2-BellSoft+7)\n"
                           "OpenJDK Server VM (build 11.0.2-BellSoft+7, mixed mode)\n";
// Made only in 64 bits, and saying nothing of them.
const char graal_8[] = "openjdk version \"1.8.0_192\"\n"
                       "OpenJDK Runtime Environment (build "
                       "1.8.0_192-20181024121959.buildslave.jdk8u-src-tar--b12)\n"
                       "GraalVM 1.0.0-rc9 (build 25.192-b12-jvmci-0.49, mixed mode)\n";
// The dump's last line and the version line run together.
const char run_together[] = "Picked up JAVA_TOOL_OPTIONS: -Dfile.encoding=UTF-8\n"
                            "Property settings:\n"
                            "    os.arch = aarch64\n"
                            "    user.name = xopenjdk version \"17.0.9\" 2023-10-17\n"
                            "OpenJDK Runtime Environment Temurin-17.0.9+9 (build 17.0.9+9)\n";

TEST(ReadSettings, TakesVersionAndDataModel) {
    const settings_case cases[] = {
        {settings("1.8", "1.8.0_392", "64"), true, 8, true},
        {settings("17", "17.0.9", "64"), true, 17, true},
        {settings("1.8", "1.8.0_391", "32"), true, 8, false},
        {settings("21", "21", "32", "\r\n"), true, 21, false}, // Windows line ends
        {settings("", "1.8.0_202", "64"), true, 8, true}, // the version when the release is missing
        {settings("11", "", "") + "OpenJDK 64-Bit Server VM", true, 11,
         true},                                            // no data model: the VM's name
        {settings("1.8", "1.8.0_111", ""), true, 8, true}, // nothing says 32-bit
        {settings("", "", "64"), false, -1, true},
        {"Error: could not find java.dll\n", false, -1, true},
        {"java.specification.version = 1.8\n", true, 8, true}, // at the start of a line
        {oracle_8_x86, true, 8, false},
        {openj9_8, true, 8, true},       // no data model: the architecture
        {openjdk_8_x86, true, 8, false}, // likewise
        {ibm_8, true, 8, true},
        {zulu_8, true, 8, true},
        {corretto_8, true, 8, true},
        {liberica_11, true, 11, true}, // the version line alone
        {graal_8, true, 8, true},
        {run_together, true, 17, true},
        {settings("1.8", "1.8.0_391", "") + "Java HotSpot(TM) Client VM (build 25.391-b13)\n", true,
         8, false},
        {"    os.arch = i386\n" + settings("1.8", "1.8.0_372", ""), true, 8, false},
        {"    os.arch = x86_64\n" + settings("1.8", "1.8.0_391", "") + "OpenJDK Client VM\n", true,
         8, true}, // the architecture before the VM's name
        // A path among the properties says nothing of the Java.
        {settings("1.8", "1.8.0_392", "") + "    user.dir = C:\\Client VM 32-Bit\n", true, 8, true},
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
        // What it leaves with its output elsewhere, in its session or out of
        // it, goes with it; it ended well.
        {"detaches",
         "sh -c 'echo $$ > detaches.pid; exec sleep 60' >/dev/null 2>&1 &\n"
         "while [ ! -s detaches.pid ]; do sleep 0.01; done; echo ok",
         true, "ok\n"},
        {"escapes",
         "setsid sh -c 'echo $$ > escapes.pid; exec sleep 60' >/dev/null 2>&1 &\n"
         "while [ ! -s escapes.pid ]; do sleep 0.01; done; echo ok",
         true, "ok\n"},
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
    for (const char* left : {"pid", "detaches.pid", "escapes.pid"}) {
        pid_t pid = std::stoi(read_file(dir / left));
        EXPECT_EQ(kill(pid, 0), -1) << left;
        EXPECT_EQ(errno, ESRCH) << left;
    }
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
