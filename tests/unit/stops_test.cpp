#include "launcher/stops.h"

#include "scratch.h"

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct cause_row {
    const char* lines;
    const char* report;
    stop_cause cause;
    const char* name;
    bool plugin;
    int java;
};

const cause_row cause_rows[] = {
    {"[12:00:00] [Server thread/INFO]: Done (3.2s)!\n[12:05:00] [Server thread/INFO]: Stopping "
     "server\n",
     "", stop_cause::none, "", false, 0},
    {"[12:00:00] [Server thread/WARN]: **** FAILED TO BIND TO PORT!\r\n"
     "[12:00:00] [Server thread/WARN]: The exception was: java.net.BindException: Address already "
     "in use: bind\r\n"
     "[12:00:00] [Server thread/WARN]: Perhaps a server is already running on that port?\r\n",
     "", stop_cause::port, "", false, 0},
    {"[12:00:00] [Server thread/INFO]: You need to agree to the EULA in order to run the server. "
     "Go to eula.txt "
     "for more info.\n",
     "", stop_cause::eula, "", false, 0},
    {"[12:00:00] [Server thread/ERROR]: Could not load 'plugins/Maps.jar' in folder 'plugins'\n"
     "org.bukkit.plugin.InvalidPluginException: java.lang.UnsupportedClassVersionError: "
     "net/maps/Main has been "
     "compiled by a more recent version of the Java Runtime (class file version 61.0), this "
     "version of the Java "
     "Runtime only recognizes class file versions up to 52.0\n",
     "", stop_cause::old_java, "plugins/Maps.jar", true, 17},
    {"Exception in thread \"main\" java.lang.UnsupportedClassVersionError: org/Main : Unsupported "
     "major.minor "
     "version 52.0\n",
     "", stop_cause::old_java, "org/Main", false, 8},
    {"[12:00:00] [Server thread/ERROR]: Encountered an unexpected "
     "exception\njava.lang.OutOfMemoryError: Java heap "
     "space\n[12:00:00] [Server thread/ERROR]: This crash report has been saved to: "
     "/srv/./crash-reports/c.txt\n",
     "/srv/crash-reports/c.txt", stop_cause::memory, "/srv/crash-reports/c.txt", false, 0},
    {"[12:00:00] [Server thread/ERROR]: This crash report has been saved to: "
     "/srv/./crash-reports/c.txt \r\n",
     "", stop_cause::crash, "/srv/./crash-reports/c.txt", false, 0},
    {"", "/srv/crash-reports/d.txt", stop_cause::crash, "/srv/crash-reports/d.txt", false, 0},
    {"[12:00:00] [Server thread/ERROR]: Could not load 'plugins\\Old.jar' in folder 'plugins'\n"
     "org.bukkit.plugin.InvalidDescriptionException: Invalid plugin.yml\n",
     "", stop_cause::plugin, "plugins\\Old.jar", false, 0},
    // The watchdog: Spigot's, Paper's glued to a panel's prefix, vanilla's
    // with its crash report.
    {"[03:12:44] [Spigot Watchdog Thread/ERROR]: ------------------------------\n"
     "[03:12:44] [Spigot Watchdog Thread/ERROR]: The server has stopped responding! This is "
     "(probably) not a Spigot bug.\n"
     "[03:12:44] [Spigot Watchdog Thread/ERROR]: \tat java.lang.Thread.sleep(Native Method)\n",
     "", stop_cause::hung, "", false, 0},
    {"28.07 14:42:57 [Server] [ERROR] The server has stopped responding! This is (probably) not "
     "a Paper bug.\r\n",
     "", stop_cause::hung, "", false, 0},
    {"[12:00:00] [Server Watchdog/FATAL]: A single server tick took 60.00 seconds (should be max "
     "0.05)\n[12:00:00] [Server Watchdog/FATAL]: Considering it to be crashed, server will "
     "forcibly shutdown.\n",
     "/srv/crash-reports/w.txt", stop_cause::hung, "/srv/crash-reports/w.txt", false, 0},
    // The world's level.dat: Linux and Windows paths, a custom level-name,
    // a dimension, the 2012 form, the trace indented by blanks.
    {"[12:00:00] [Server thread/WARN]: Exception reading ./world/level.dat\n"
     "java.io.EOFException: Unexpected end of ZLIB input stream\n"
     "\tat java.util.zip.InflaterInputStream.fill(InflaterInputStream.java:240)\n",
     "", stop_cause::world, "./world/level.dat", false, 0},
    {"[12:00:00 ERROR]: Exception reading .\\my world\\level.dat\r\n    java.io.EOFException\r\n",
     "", stop_cause::world, ".\\my world\\level.dat", false, 0},
    {"2012-07-20 21:49:13 [WARNING] Exception reading ./survival/DIM1/level.dat\n"
     "java.io.EOFException\n",
     "", stop_cause::world, "./survival/DIM1/level.dat", false, 0},
    // A plugin that could not be enabled, in the three forms of the lines.
    {"[21:49:13 ERROR]: Error occurred while enabling Essentials v2.17.1.0 (Is it up to "
     "date?)\njava.lang.NoSuchMethodError: org.bukkit.Server.getOnlinePlayers()\n",
     "", stop_cause::enable, "Essentials v2.17.1.0", false, 0},
    {"2012-07-20 21:49:13 [SEVERE] Error occurred while enabling WorldEdit v5.3 (Is it up to "
     "date?)\r\n",
     "", stop_cause::enable, "WorldEdit v5.3", false, 0},
    // Out of threads, not of heap: Java 8's and 17's words, on standard
    // error and in a crash report; the heap stays as it is.
    {"Exception in thread \"Server thread\" java.lang.OutOfMemoryError: unable to create new "
     "native thread\n\tat java.lang.Thread.start0(Native Method)\n",
     "", stop_cause::threads, "", false, 0},
    {"[12:00:00] [Server thread/ERROR]: Encountered an unexpected exception\n"
     "java.lang.OutOfMemoryError: unable to create native thread: possibly out of memory or "
     "process/resource limits reached\n",
     "/srv/crash-reports/t.txt", stop_cause::threads, "/srv/crash-reports/t.txt", false, 0},
    {"Exception in thread \"main\" java.lang.OutOfMemoryError: Java heap space\n", "",
     stop_cause::memory, "", false, 0},
    {"java.lang.OutOfMemoryError: GC overhead limit exceeded\n", "", stop_cause::memory, "", false,
     0},
    {"java.lang.OutOfMemoryError: Metaspace\n", "", stop_cause::memory, "", false, 0},
    // server-ip names an address the computer does not have: Linux's and
    // Windows' words.
    {"[12:00:00] [Server thread/WARN]: **** FAILED TO BIND TO PORT!\n"
     "[12:00:00] [Server thread/WARN]: The exception was: java.net.BindException: Cannot assign "
     "requested address\n",
     "", stop_cause::address, "", false, 0},
    {"[12:00:00 WARN]: **** FAILED TO BIND TO PORT!\r\n[12:00:00 WARN]: The exception was: "
     "java.net.BindException: Cannot assign requested address: bind\r\n",
     "", stop_cause::address, "", false, 0},
    // A missing dependency: the old form names the file, Paper's the plugin
    // and what it needs.
    {"21:49:13Could not load 'plugins/EssentialsChat.jar' in folder 'plugins'\n"
     "org.bukkit.plugin.UnknownDependencyException: Essentials\n",
     "", stop_cause::plugin, "plugins/EssentialsChat.jar", false, 0},
    {"[22:28:37] [Server thread/ERROR]: [ModernPluginLoadingStrategy] Could not load "
     "'./plugins/MobFarmManager_2.0.4.2.jar' in './plugins'\n"
     "org.bukkit.plugin.UnknownDependencyException: Unknown/missing dependency plugins: [CMILib]. "
     "Please download and install these plugins to run 'MobFarmManager'.\n",
     "", stop_cause::plugin, "MobFarmManager", false, 0},
    // Java's own words before there is a log, either line of a JNI error
    // first, and the launcher's line in GBK.
    {"Error: Unable to access jarfile spigot-1.12.2.jar\r\n", "", stop_cause::no_jar,
     "spigot-1.12.2.jar", false, 0},
    {"Error: Invalid or corrupt jarfile spigot-1.12.2.jar\n", "", stop_cause::bad_jar,
     "spigot-1.12.2.jar", false, 0},
    {"Error: A JNI error has occurred, please check your installation and try again\n"
     "Exception in thread \"main\" java.lang.UnsupportedClassVersionError: "
     "org/bukkit/craftbukkit/Main : Unsupported major.minor version 52.0\n",
     "", stop_cause::old_java, "org/bukkit/craftbukkit/Main", false, 8},
    {"Exception in thread \"main\" java.lang.UnsupportedClassVersionError: "
     "org/bukkit/craftbukkit/Main has been compiled by a more recent version of the Java Runtime "
     "(class file version 61.0)\nError: A JNI error has occurred, please check your installation "
     "and try again\n",
     "", stop_cause::old_java, "org/bukkit/craftbukkit/Main", false, 17},
    {"\xb4\xed\xce\xf3: \xbc\xd3\xd4\xd8\xd6\xf7\xc0\xe0 Server \xca\xb1\xb3\xf6\xcf\xd6 "
     "LinkageError\n\tjava.lang.UnsupportedClassVersionError: Server has been compiled by a more "
     "recent version of the Java Runtime (class file version 65.0)\n",
     "", stop_cause::old_java, "Server", false, 21},
    // Java's own crash: the path it names, or else the report it left.
    {"#\n# A fatal error has been detected by the Java Runtime Environment:\n#\n"
     "#  EXCEPTION_ACCESS_VIOLATION (0xc0000005) at pc=0x6d8d1f4a, pid=4144, tid=3472\n"
     "# An error report file with more information is saved as:\n"
     "# C:\\srv\\1.12.2\\hs_err_pid4144.log\r\n",
     "", stop_cause::java_crash, "C:\\srv\\1.12.2\\hs_err_pid4144.log", false, 0},
    {"", "/srv/hs_err_pid77.log", stop_cause::java_crash, "/srv/hs_err_pid77.log", false, 0},
    // Chat in the 2012 form proves nothing either.
    {"2012-07-20 21:49:13 [INFO] <ann> The server has stopped responding! Exception reading "
     "./world/level.dat\n",
     "", stop_cause::none, "", false, 0},
    // What a player says is no cause.
    {"[12:00:00] [Server thread/INFO]: <ann> java.lang.OutOfMemoryError **** FAILED TO BIND TO "
     "PORT!\n",
     "", stop_cause::none, "", false, 0},
    // The port, then the licence, come before everything else.
    {"java.lang.OutOfMemoryError\nYou need to agree to the EULA\n**** FAILED TO BIND TO PORT!\n",
     "/r.txt", stop_cause::port, "", false, 0},
};

TEST(CauseOf, ReadsTheServersLines) {
    for (const cause_row& row : cause_rows) {
        found_cause found = cause_of(row.lines, row.report);
        EXPECT_EQ(found.cause, row.cause) << row.lines;
        EXPECT_EQ(found.name, row.name) << row.lines;
        EXPECT_EQ(found.plugin, row.plugin) << row.lines;
        EXPECT_EQ(found.java, row.java) << row.lines;
    }
}

TEST(Explanation, NamesWhatItKnows) {
    auto cause = [](stop_cause what, const char* name = "", bool plugin = false, int java = 0,
                    const char* needs = "") {
        found_cause found;
        found.cause = what;
        found.name = name;
        found.plugin = plugin;
        found.java = java;
        found.needs = needs;
        return found;
    };
    const std::string backup = "vellomar/backups/2026-12-09_08-30-00";
    const struct {
        found_cause found;
        const char* said;
        bool at_risk = false;
    } rows[] = {
        {cause(stop_cause::port), "服务器无法启动：端口 25570 已被其他程序占用。\n"},
        {cause(stop_cause::eula), "还没有同意服务器的最终用户许可协议"},
        {cause(stop_cause::old_java, "plugins/Maps.jar", true, 17),
         "无法运行插件 plugins/Maps.jar（需要 Java 17 或更高版本）"},
        {cause(stop_cause::old_java, "org/Main"), "Java 版本太旧，无法运行 org/Main。"},
        {cause(stop_cause::memory),
         "服务器内存不足（java.lang.OutOfMemoryError）。\n请使用 64 位的 Java"},
        {cause(stop_cause::crash, "/srv/crash-reports/d.txt"),
         "服务器崩溃了。崩溃报告保存在：\n/srv/crash-reports/d.txt\n", true},
        {cause(stop_cause::plugin, "plugins/Old.jar"), "插件 plugins/Old.jar 加载失败。"},
        {cause(stop_cause::crash, "/srv/crash-reports/d.txt"),
         "最新的世界备份在 vellomar/backups/2026-12-09_08-30-00。", true},
        {cause(stop_cause::hung), "服务器停止了响应，被它的看门狗（watchdog）结束", true},
        {cause(stop_cause::world, "./world/level.dat"),
         "服务器无法读取世界的 ./world/level.dat，这个文件已损坏", true},
        {cause(stop_cause::world), "请恢复最新的备份 vellomar/backups/2026-12-09_08-30-00（", true},
        {cause(stop_cause::enable, "Essentials v2.17.1.0"), "插件 Essentials v2.17.1.0 启用失败。"},
        {cause(stop_cause::plugin, "MobFarmManager", false, 0, "CMILib"),
         "插件 MobFarmManager 加载失败：它需要的插件 CMILib 没有安装。"},
        {cause(stop_cause::threads), "加大 -Xmx 只会更糟"},
        {cause(stop_cause::memory, "/srv/crash-reports/m.txt"),
         "。\n崩溃报告保存在：\n/srv/crash-reports/m.txt\n", true},
        {cause(stop_cause::address, "192.0.2.1"),
         "server.properties 中的 server-ip（192.0.2.1）不是这台电脑的地址。"},
        {cause(stop_cause::no_jar, "spigot-1.12.2.jar"),
         "Java 找不到服务器的 jar 文件 spigot-1.12.2.jar。\n请按1"},
        {cause(stop_cause::bad_jar, "spigot-1.12.2.jar"),
         "已损坏，Java 无法读取它。\n请删除 1.12.2 文件夹中的 spigot-1.12.2.jar，然后按1"},
        {cause(stop_cause::java_crash, "/srv/hs_err_pid7.log"),
         "错误报告保存在：\n/srv/hs_err_pid7.log\n", true},
        {cause(stop_cause::abnormal, "0xC0000005"), "服务器异常结束（退出代码 0xC0000005）。"},
        // What a plugin named itself is shown, not acted on by the terminal.
        {cause(stop_cause::plugin, "plugins/\x1b]0;pwned\x07\x1b[2J.jar"),
         "插件 plugins/\\x1B]0;pwned\\x07\\x1B[2J.jar 加载失败。"},
        {cause(stop_cause::old_java, "plugins/\r\x7f.jar", true, 17),
         "无法运行插件 plugins/\\x0D\\x7F.jar"},
    };
    for (const auto& row : rows) {
        std::string said = explanation(row.found, 25570, backup);
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        // The newest backup is named where the world is at risk, and only there.
        EXPECT_EQ(said.find(backup) != std::string::npos, row.at_risk) << said;
    }
    EXPECT_EQ(explanation({}, 25570, backup), "");
    EXPECT_NE(explanation(cause(stop_cause::world), 25570).find("没有找到世界的备份"),
              std::string::npos);
}

TEST(Restarts, OnlyACrash) {
    for (stop_cause cause : {stop_cause::crash, stop_cause::hung, stop_cause::memory,
                             stop_cause::threads, stop_cause::java_crash, stop_cause::abnormal})
        EXPECT_TRUE(restarts(cause)) << static_cast<int>(cause);
    for (stop_cause cause :
         {stop_cause::none, stop_cause::port, stop_cause::address, stop_cause::eula,
          stop_cause::old_java, stop_cause::no_jar, stop_cause::bad_jar, stop_cause::world,
          stop_cause::plugin, stop_cause::enable})
        EXPECT_FALSE(restarts(cause)) << static_cast<int>(cause);
}

TEST(Properties, AreReadAsTheServerReadsThem) {
    const struct {
        const char* text;
        int port;
        bool agreed;
        const char* agreeing;
    } rows[] = {
        {"", 25565, false, "eula=true\n"},
        {"#c\r\neula=false\r\nserver-port=25570\r\n", 25570, false,
         "#c\r\neula=true\r\nserver-port=25570\r\n"},
        {"  eula = TRUE\nserver-port:abc", 25565, true, "eula=true\nserver-port:abc"},
        {"eula=true \n#eula=true", 25565, false, "eula=true\n#eula=true"},
        {"server-port=25570\n#eula=true", 25570, false,
         "server-port=25570\n#eula=true\neula=true\n"},
        {"eula=true\neula=no\nserver-port 0", 0, false, "eula=true\neula=true\nserver-port 0"},
        // Line ends of CR alone: every other line kept, the one added ends so.
        {"#c\reula=false\rmotd=keep me\r", 25565, false, "#c\reula=true\rmotd=keep me\r"},
        {"#c\rserver-port=25570", 25570, false, "#c\rserver-port=25570\reula=true\r"},
        {"eula=true\rserver-port=25570\r", 25570, true, "eula=true\rserver-port=25570\r"},
        // A line that goes on in the next, its leading blanks skipped; the
        // lines it spans give way to one.
        {"eula=tr\\\r\n   ue\r\nmotd=x\r\n", 25565, true, "eula=true\r\nmotd=x\r\n"},
        {"eula=false\\\nserver-port=25570\n", 25565, false, "eula=true\n"},
        {"server-\\\n port=25570", 25570, false, "server-\\\n port=25570\neula=true\n"},
        // An even number of backslashes ends the line; a comment never goes on.
        {"eula=true\\\\\nx=1", 25565, false, "eula=true\nx=1"},
        {"#eula=false\\\neula=true", 25565, true, "#eula=false\\\neula=true"},
        // Escapes read in the key and the value; an escaped "=" is the key's.
        {"\\eu\\la=\\u0074rue\nserver\\-port=25570", 25570, true, "eula=true\nserver\\-port=25570"},
        {"eula\\=x=true", 25565, false, "eula\\=x=true\neula=true\n"},
        {"eula=\\u00", 25565, false, "eula=true"},
        {"\teula\f  ::true", 25565, false, "eula=true"}, // a second ":" is the value's
    };
    for (const auto& row : rows) {
        EXPECT_EQ(server_port(row.text), row.port) << row.text;
        EXPECT_EQ(agreed(row.text), row.agreed) << row.text;
        EXPECT_EQ(agreeing(row.text), row.agreeing) << row.text;
        EXPECT_TRUE(agreed(agreeing(row.text))) << row.text;
    }
    EXPECT_EQ(property("server-ip=\nserver-ip= 127.0.0.1", "server-ip"), "127.0.0.1");
    // Escapes of a value are left for its reader.
    EXPECT_EQ(property("level-name=my\\u0020world\\\n  2", "level-name"), "my\\u0020world2");
}

TEST(ReadHead, ReadsNoMoreThanTheBound) {
    scratch dir;
    dir.enter();
    write_file("eula.txt", "eula=true\n");
    write_file("exact", std::string(static_cast<size_t>(head_bytes), '#'));
    write_file("huge", "");
    // Sparse: the size is real, the disk blocks are not.
    std::filesystem::resize_file("huge", 2ull << 30);
    const struct {
        const char* path;
        bool whole;
        size_t size;
    } rows[] = {
        {"eula.txt", true, 10},
        {"missing", true, 0},
        {"exact", true, static_cast<size_t>(head_bytes)},
        {"huge", false, static_cast<size_t>(head_bytes)},
    };
    for (const auto& row : rows) {
        std::string text = "left";
        EXPECT_EQ(read_head(row.path, text), row.whole) << row.path;
        EXPECT_EQ(text.size(), row.size) << row.path;
    }
}

TEST(FailedJava, NamesTheMemorySetting) {
    EXPECT_EQ(failed_java("java", "'java' 不是内部或外部命令"),
              "（找不到该程序，或它不是可运行的 Java）");
    for (const char* printed :
         {"Invalid maximum heap size: -Xmx1Q",
          "Error occurred during initialization of VM\nCould not reserve enough space for "
          "object heap"}) {
        std::string said = failed_java("\"C:\\Java 8\\java.exe\" -Xms1G  -Xmx9G ", printed);
        EXPECT_EQ(said.find("（Java 不接受其中的内存设置 -Xms1G -Xmx9G："), 0u) << said;
    }
}

TEST(Port, TakenIsToldWithItsHolder) {
    scratch dir;
    dir.enter();
    int held = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(held, 1), 0);
    getsockname(held, reinterpret_cast<sockaddr*>(&at), &size);
    int port = ntohs(at.sin_port);
    EXPECT_EQ(port_free("", port), 0);
    EXPECT_EQ(port_free("127.0.0.1", port), 0);
    // Held from the server folder: by this program, which is no Java, then
    // by a child named as a Java is, as a server still running there would.
    for (const char* name : {"stops_test", "java"}) {
        pid_t child = -1;
        if (name[0] == 'j') {
            child = fork();
            if (child == 0) {
                prctl(PR_SET_NAME, name);
                pause();
                _exit(0);
            }
            ASSERT_GT(child, 0);
            close(held);
            // Named once it has run as far as its pause.
            for (int i = 0; i < 500 && holder_of(port).name != name; ++i)
                usleep(10000);
        }
        port_holder holder = holder_of(port);
        EXPECT_EQ(holder.pid, child > 0 ? child : getpid());
        EXPECT_EQ(holder.name, name);
        EXPECT_EQ(holder.same, child > 0) << name;
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
    EXPECT_EQ(port_free("", port), 1);
    EXPECT_EQ(holder_of(port).pid, 0);
    EXPECT_EQ(port_free("server.example", port), -1);
}

TEST(Explain, ReadsOnlyWhatThisRunLeft) {
    const struct {
        bool log_before, log_after, report;
        int status;
        const char* said;
        stop_cause cause;
        const char* errors = "";
        bool fatal = false;
    } rows[] = {
        {false, false, false, 0, "", stop_cause::none},
        {true, false, false, 0, "", stop_cause::none},
        {false, true, false, 0, "服务器无法启动：端口 25570 已被其他程序占用。\n",
         stop_cause::port},
        {true, true, false, 1, "服务器无法启动：端口 25570", stop_cause::port},
        {true, false, true, 0, "服务器崩溃了。崩溃报告保存在：\n", stop_cause::crash},
        {false, false, false, 1, "服务器异常结束（退出代码 1）。", stop_cause::abnormal},
        {false, false, false, 130, "", stop_cause::none},
        // What Java said on standard error, with no log.
        {false, false, false, 1, "Java 找不到服务器的 jar 文件 spigot-1.12.2.jar。",
         stop_cause::no_jar, "Error: Unable to access jarfile spigot-1.12.2.jar\r\n"},
        // Java's own crash, told on its standard output: its report is found.
        {false, false, false, 134, "错误报告保存在：\n", stop_cause::java_crash, "", true},
    };
    for (const auto& row : rows) {
        scratch dir;
        dir.enter();
        std::filesystem::create_directories(dir / "logs");
        std::filesystem::create_directories(dir / "crash-reports");
        write_file(dir / "server.properties", "server-port=25570\n");
        write_file(dir / "crash-reports" / "crash-1-server.txt", "an old crash");
        write_file(dir / "hs_err_pid1.log", "# an old fatal error");
        if (row.log_before)
            write_file(dir / "logs" / "latest.log", "**** FAILED TO BIND TO PORT!\n");
        traces before = traces_now();
        if (row.log_after)
            write_file(dir / "logs" / "latest.log", "x\n**** FAILED TO BIND TO PORT!\n");
        if (row.report)
            write_file(dir / "crash-reports" / "crash-2-server.txt", "Description: tick");
        if (row.fatal)
            write_file(dir / "hs_err_pid2.log",
                       "#\n# A fatal error has been detected by the Java Runtime Environment:\n");
        capture out(STDOUT_FILENO);
        found_cause found = explain(before, row.status, row.errors, "vellomar/backups/b");
        std::string said = out.text();
        EXPECT_EQ(found.cause, row.cause) << said;
        if (*row.said) {
            EXPECT_NE(said.find(row.said), std::string::npos) << said;
        } else {
            EXPECT_EQ(said, "");
        }
        std::string report = (dir / "crash-reports" / "crash-2-server.txt").string();
        EXPECT_EQ(said.find(report) != std::string::npos, row.report) << said;
        std::string fatal = (dir / "hs_err_pid2.log").string();
        EXPECT_EQ(said.find(fatal) != std::string::npos, row.fatal) << said;
    }
}

} // namespace
