#include "util/shell.h"

#include "posix/base.h"
#include "posix/cmd.h"
#include "posix/term.h"
#include "scratch.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

// An environment variable set to a value while the object lives.
class env_var {
  public:
    env_var(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~env_var() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    env_var(const env_var&) = delete;
    env_var& operator=(const env_var&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// A signal's disposition set while the object lives.
class signal_as {
  public:
    signal_as(int sig, void (*handler)(int)) : sig_(sig) {
        struct sigaction sa = {};
        sa.sa_handler = handler;
        sigemptyset(&sa.sa_mask);
        sigaction(sig_, &sa, &old_);
    }
    ~signal_as() { sigaction(sig_, &old_, nullptr); }
    signal_as(const signal_as&) = delete;
    signal_as& operator=(const signal_as&) = delete;

  private:
    int sig_;
    struct sigaction old_;
};

// Writes an executable shell script.
void script(const fs::path& path, const std::string& body) {
    write_file(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

// What a command line writes to fd, and its status.
struct outcome {
    int status;
    std::string text;
};

outcome run_on(int fd, const std::string& line) {
    capture out(fd);
    int status = shell(line);
    return {status, out.text()};
}

outcome errors_of(const std::string& line) {
    return run_on(STDERR_FILENO, line);
}

// Runs a line that must succeed without a word.
void quietly(const std::string& line) {
    auto r = errors_of(line);
    EXPECT_EQ(r.status, 0) << line;
    EXPECT_EQ(r.text, "") << line;
}

// Everything below folder: relative name -> content, "<folder>" for a folder.
std::map<std::string, std::string> tree(const fs::path& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        out[fs::relative(e.path(), folder).string()] =
            e.is_directory() ? "<folder>" : read_file(e.path());
    return out;
}

volatile sig_atomic_t interrupts = 0;

void count_interrupt(int) {
    interrupts = interrupts + 1;
}

} // namespace

// --- splitting and paths -------------------------------------------------

TEST(Words, SplitsLikeCmd) {
    struct row {
        const char* line;
        std::vector<std::string> want;
    };
    const row rows[] = {
        {"", {}},
        {"   \t ", {}},
        {"a", {"a"}},
        {"a b", {"a", "b"}},
        {"  a \t\tb  ", {"a", "b"}},
        {"a b   ", {"a", "b"}},
        {"\"a b\" c", {"a b", "c"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"\"tab\there\"", {"tab\there"}},
        {"\"not closed a b", {"not closed a b"}},
        {"C:\\j\\java.exe -jar spigot-1.12.2.jar",
         {"C:\\j\\java.exe", "-jar", "spigot-1.12.2.jar"}},
        {"\"C:\\Program Files\\java.exe\" -jar x", {"C:\\Program Files\\java.exe", "-jar", "x"}},
        {"中文 名字", {"中文", "名字"}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(words(r.line), r.want) << "line: [" << r.line << "]";
}

TEST(CLine, DropsTheOuterQuotesAsCmdCDoes) {
    scratch dir;
    script(dir / "my prog", "true");
    const std::string prog = (dir / "my prog").string();
    const std::pair<std::string, std::string> rows[] = {
        {"md \"a&b\"", "md \"a&b\""},
        {"\"\"C:\\x & y\\out_put_ver.exe\"\"", "\"C:\\x & y\\out_put_ver.exe\""},
        {"\"C:\\x(1)\\out_put_ver.exe\"", "C:\\x(1)\\out_put_ver.exe"},
        {"\"" + prog + "\" -version", "\"" + prog + "\" -version"},
        {"\"/no/such prog\" -version", "/no/such prog -version"},
        {"\"" + prog + "\" \"a\"", prog + "\" \"a"},
        {"\"unclosed", "unclosed"},
    };
    for (const auto& [line, want] : rows)
        EXPECT_EQ(c_line(line), want) << line;
}

TEST(Native, BackslashesBecomeSlashes) {
    const std::pair<const char*, const char*> rows[] = {
        {"", ""},
        {"java", "java"},
        {".\\1.12.2\\java", "./1.12.2/java"},
        {"a\\b\\c", "a/b/c"},
        {"/already/native", "/already/native"},
        {"\\\\twice", "//twice"},
        {"mixed/and\\both", "mixed/and/both"},
    };
    for (const auto& [in, want] : rows)
        EXPECT_EQ(native(in), want) << in;
}

// --- cls and title -----------------------------------------------------

TEST(Cls, ClearsTheScreen) {
    scratch dir;
    dir.enter();
    auto out = run_on(STDOUT_FILENO, "cls");
    EXPECT_EQ(out.status, 0);
    // A terminal is cleared by escape sequences; anything else gets a form feed.
    EXPECT_EQ(out.text, smart() ? "\x1b[H\x1b[2J\x1b[3J" : "\f");
    EXPECT_EQ(run_on(STDOUT_FILENO, "CLS").text, out.text);
}

TEST(Title, WritesNothingOffATerminal) {
    if (smart()) GTEST_SKIP() << "standard output is a terminal";
    scratch dir;
    dir.enter();
    for (const char* line : {"title 下载服务器", "title 服务器正在运行", "title"}) {
        capture out(STDOUT_FILENO);
        capture err(STDERR_FILENO);
        EXPECT_EQ(shell(line), 0) << line;
        EXPECT_EQ(out.text(), "") << line;
        EXPECT_EQ(err.text(), "") << line;
    }
    // The title is not a file name, nor a command.
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// --- what cmd says when it cannot ---------------------------------------

TEST(Messages, FailuresAreWordedAsCmdWordsThemAndChangeNothing) {
    // Each line runs in a folder holding a folder with something in it, a
    // plain file and an executable that is no program; a null text stands for
    // any message at all.
    const std::pair<const char*, const char*> rows[] = {
        {"md", "命令语法不正确。\n"},
        {"md full", "子目录或文件 full 已经存在。\n"},
        {"md plain", "子目录或文件 plain 已经存在。\n"},
        {"md plain\\sub", nullptr},
        {"rmdir /s /q nosuch", "系统找不到指定的文件。\n"},
        {"rmdir /s /q plain", "目录名称无效。\n"},
        {"rmdir full", "目录不是空的。\n"},
        {"echo C:\\j\\java.exe >> .\\1.12.2\\java", "系统找不到指定的路径。\n"},
        {"echo x >> one two", "命令语法不正确。\n"},
        // Marked executable, but neither a binary nor a script with "#!".
        {".\\noshebang", "此应用无法在你的电脑上运行。\n"},
    };
    for (const auto& [line, text] : rows) {
        scratch dir;
        dir.enter();
        fs::create_directories("full/sub");
        write_file("full/sub/keep", "keep");
        write_file("plain", "x");
        write_file("noshebang", ": > ran\n");
        fs::permissions("noshebang", fs::perms::owner_all);
        auto before = tree(dir.path());

        auto r = errors_of(line);
        EXPECT_NE(r.status, 0) << line;
        if (text)
            EXPECT_EQ(r.text, text) << line;
        else
            EXPECT_NE(r.text, "") << line;
        EXPECT_EQ(tree(dir.path()), before) << line;
    }
}

// --- md ----------------------------------------------------------------

TEST(Md, CreatesMissingParents) {
    scratch dir;
    dir.enter();
    quietly("md a\\b\\c");
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));

    EXPECT_EQ(shell("MD x/y"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "x/y"));
    EXPECT_EQ(shell("md \"with blank\\inner\""), 0);
    EXPECT_TRUE(fs::is_directory(dir / "with blank/inner"));
    EXPECT_EQ(shell("md " + (dir / "deep/er").string()), 0);
    EXPECT_TRUE(fs::is_directory(dir / "deep/er"));
}

// --- robocopy ----------------------------------------------------------

TEST(Robocopy, AddsOnlyWhatIsMissing) {
    using files = std::map<std::string, std::string>;
    auto make = [](const fs::path& folder, const files& tree) {
        fs::create_directories(folder);
        for (const auto& [name, data] : tree)
            data == "<folder>" ? (void)fs::create_directory(folder / name)
                               : write_file(folder / name, data);
    };
    const files archive = {{"eula.txt", "e"}, {"world", "<folder>"}, {"world/level.dat", "lv"}};
    const std::string line = "robocopy new old /e /xc /xn /xo /r:0 /w:0 /njh /njs /ndl /nfl /np";
    // The command, what the server folder held, the status, what it holds.
    const std::tuple<std::string, files, int, files> rows[] = {
        {line,
         {{"eula.txt", "mine"}, {"world", "<folder>"}},
         1,
         {{"eula.txt", "mine"}, {"world", "<folder>"}, {"world/level.dat", "lv"}}},
        {line, {{"world", "a file"}}, 1 | 8, {{"eula.txt", "e"}, {"world", "a file"}}},
        {"robocopy new old /e", {{"eula.txt", "mine"}}, 16, {{"eula.txt", "mine"}}},
        {"robocopy gone old /e /xc /xn /xo", {}, 16, {}},
    };
    for (const auto& [command, had, status, want] : rows) {
        scratch dir;
        dir.enter();
        make(dir / "new", archive);
        // The server folder, moved elsewhere, a link to it left in its place.
        make(dir / "elsewhere", had);
        fs::create_directory_symlink(dir / "elsewhere", dir / "old");
        EXPECT_EQ(shell(command), status) << command;
        EXPECT_EQ(tree(dir / "elsewhere"), want) << command;
    }
}

// --- rmdir -------------------------------------------------------------

TEST(Rmdir, RemovesATree) {
    scratch dir;
    dir.enter();
    fs::create_directories("tree/a/b");
    fs::create_directories("tree/empty");
    write_file("tree/top.txt", "1");
    write_file("tree/a/b/deep.txt", "2");
    write_file("beside.txt", "3");
    quietly("rmdir /s /q tree");
    EXPECT_FALSE(fs::exists("tree"));
    EXPECT_EQ(read_file("beside.txt"), "3");
}

TEST(Rmdir, BackslashPathAndUpperCaseFlags) {
    scratch dir;
    dir.enter();
    fs::create_directories("vellomar/1.12.2/world");
    write_file("vellomar/1.12.2/java", "j\n");
    EXPECT_EQ(shell("RMDIR /S /Q vellomar\\1.12.2"), 0);
    EXPECT_FALSE(fs::exists("vellomar/1.12.2"));
    EXPECT_TRUE(fs::is_directory("vellomar"));
}

TEST(Rmdir, LeavesWhatALinkPointsTo) {
    scratch dir;
    dir.enter();
    fs::create_directories("outside/inner");
    write_file("outside/keep.txt", "keep");
    write_file("outside/inner/deep.txt", "deep");
    write_file("lone.txt", "lone");
    fs::create_directories("tree/sub");
    fs::create_directory_symlink(dir / "outside", "tree/sub/to-outside");
    fs::create_symlink(dir / "lone.txt", "tree/to-lone");

    EXPECT_EQ(shell("rmdir /s /q tree"), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status("tree")));
    EXPECT_EQ(read_file("outside/keep.txt"), "keep");
    EXPECT_EQ(read_file("outside/inner/deep.txt"), "deep");
    EXPECT_EQ(read_file("lone.txt"), "lone");
}

TEST(Rmdir, LinkNamedDirectlyGoesAlone) {
    scratch dir;
    dir.enter();
    fs::create_directories("outside");
    write_file("outside/keep.txt", "keep");
    fs::create_directory_symlink(dir / "outside", "link");
    EXPECT_EQ(shell("rmdir /s /q link"), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status("link")));
    EXPECT_EQ(read_file("outside/keep.txt"), "keep");
}

TEST(Rmdir, TrailingSeparatorStillMeansTheLink) {
    for (const char* tail : {"\\", "\\.", "/", "\\\\"}) {
        scratch dir;
        dir.enter();
        fs::create_directories("outside/inner");
        write_file("outside/keep.txt", "keep");
        write_file("outside/inner/deep.txt", "deep");
        fs::create_directory_symlink(dir / "outside", "link");
        fs::create_directories("tree/sub");
        write_file("tree/sub/f", "f");

        EXPECT_EQ(shell(std::string("rmdir /s /q link") + tail), 0) << tail;
        EXPECT_FALSE(fs::exists(fs::symlink_status("link"))) << tail;
        EXPECT_EQ(read_file("outside/keep.txt"), "keep") << tail;
        EXPECT_EQ(read_file("outside/inner/deep.txt"), "deep") << tail;

        EXPECT_EQ(shell(std::string("rmdir /s /q .\\tree") + tail), 0) << tail;
        EXPECT_FALSE(fs::exists("tree")) << tail;
    }
}

TEST(Rmdir, WithoutSAnEmptyFolder) {
    scratch dir;
    dir.enter();
    fs::create_directories("empty");
    EXPECT_EQ(shell("rmdir empty"), 0);
    EXPECT_FALSE(fs::exists("empty"));
}

// --- del ---------------------------------------------------------------

TEST(Del, RemovesOneFile) {
    scratch dir;
    dir.enter();
    write_file("1.12.2.zip", "zip");
    write_file("other.zip", "other");
    quietly("del 1.12.2.zip");
    EXPECT_FALSE(fs::exists("1.12.2.zip"));
    EXPECT_EQ(read_file("other.zip"), "other");
}

TEST(Del, MissingFileNamesItsFullPath) {
    scratch dir;
    dir.enter();
    auto r = errors_of("del 1.12.2.zip");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.text, "找不到 " + (dir / "1.12.2.zip").string() + "\n");

    fs::create_directory("sub");
    r = errors_of("del .\\sub\\..\\sub\\gone.txt");
    EXPECT_EQ(r.text, "找不到 " + (dir / "sub/gone.txt").string() + "\n");
}

TEST(Del, LinkGoesNotItsTarget) {
    scratch dir;
    dir.enter();
    write_file("target", "t");
    fs::create_symlink(dir / "target", "link");
    EXPECT_EQ(shell("del link"), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status("link")));
    EXPECT_EQ(read_file("target"), "t");
}

// --- echo >> -----------------------------------------------------------

TEST(Echo, AppendsTheJavaCommandLine) {
    scratch dir;
    dir.enter();
    fs::create_directory("1.12.2");
    quietly("echo C:\\j\\java.exe >> .\\1.12.2\\java");
    EXPECT_EQ(read_file("1.12.2/java"), "C:\\j\\java.exe \n");

    EXPECT_EQ(shell("echo /usr/bin/java -Xmx1G >> .\\1.12.2\\java"), 0);
    EXPECT_EQ(read_file("1.12.2/java"), "C:\\j\\java.exe \n/usr/bin/java -Xmx1G \n");
}

TEST(Echo, AppendsToWhatIsThere) {
    scratch dir;
    dir.enter();
    write_file("java", "first\n");
    EXPECT_EQ(shell("echo second >> java"), 0);
    EXPECT_EQ(read_file("java"), "first\nsecond \n");
}

TEST(Echo, TextIsNeverInterpreted) {
    // Each row: the text after "echo ", as typed; it must land in the file
    // byte for byte, and nothing in it may run.
    const char* texts[] = {
        "\"C:\\Program Files\\Java\\bin\\java.exe\"",
        "a & touch amp",
        "a | touch pipe",
        "a ; touch semi",
        "$(touch dollar)",
        "`touch tick`",
        "a > gt",
        "a >> inner",
        "a < lt",
        "%PATH% $HOME ~ * ?",
        "  leading and  inner  blanks",
        "中文 路径\\java.exe",
    };
    for (const char* text : texts) {
        scratch dir;
        dir.enter();
        fs::create_directory("1.12.2");
        std::string line = std::string("echo ") + text + " >> .\\1.12.2\\java";
        quietly(line);
        // Only the target was written, and nothing appeared beside it.
        EXPECT_EQ(tree(dir.path()),
                  (std::map<std::string, std::string>{{"1.12.2", "<folder>"},
                                                      {"1.12.2/java", std::string(text) + " \n"}}))
            << line;
    }
}

TEST(Echo, CreatesTheFileWhenMissing) {
    scratch dir;
    dir.enter();
    EXPECT_EQ(shell("echo x >> new"), 0);
    EXPECT_EQ(read_file("new"), "x \n");
    EXPECT_EQ(shell("echo y >> \"with blank\""), 0);
    EXPECT_EQ(read_file("with blank"), "y \n");
}

TEST(Echo, WithoutRedirectionWritesToStdout) {
    scratch dir;
    dir.enter();
    auto r = run_on(STDOUT_FILENO, "echo hello $(touch x) world");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.text, "hello $(touch x) world\n");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// --- programs ----------------------------------------------------------

TEST(Program, QuotesMakeOneArgument) {
    scratch dir;
    dir.enter();
    EXPECT_EQ(shell("/usr/bin/touch \"a b\" c"), 0);
    EXPECT_TRUE(fs::is_regular_file("a b"));
    EXPECT_TRUE(fs::is_regular_file("c"));
    EXPECT_FALSE(fs::exists("a"));
    EXPECT_FALSE(fs::exists("b"));
}

// A line that begins with a quoted program runs as written, whatever the
// program's path holds, where cmd /c alone would take the quotes off.
TEST(Program, AQuotedProgramRunsAsWritten) {
    scratch dir;
    dir.enter();
    const std::string folders[] = {"jdk (x86)", "a & b", "plain"};
    for (const auto& folder : folders) {
        fs::create_directories(dir / folder / "bin");
        script(dir / folder / "bin/java",
               "for a in \"$@\"; do printf '[%s]' \"$a\"; done > args.txt");
        std::string quoted = "\"" + (dir / folder / "bin/java").string() + "\"";
        std::string printed;
        EXPECT_EQ(shell(quoted + "  -jar spigot-1.12.2.jar"), 0) << folder;
        EXPECT_EQ(read_file("args.txt"), "[-jar][spigot-1.12.2.jar]") << folder;
        EXPECT_EQ(shell_output(quoted + " -version", printed), 0) << folder;
        EXPECT_EQ(read_file("args.txt"), "[-version]") << folder;
    }
}

TEST(Program, FoundThroughPath) {
    scratch dir;
    dir.enter();
    fs::create_directory("bin");
    fs::create_directory("bin2");
    script(dir / "bin/show", "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > args.txt");
    script(dir / "bin2/show", ": > wrong");
    env_var path("PATH", (dir / "bin").string() + ":" + (dir / "bin2").string());

    EXPECT_EQ(find_program("show"), (dir / "bin/show").string());
    EXPECT_EQ(shell("show one \"two  three\" \"\" C:\\x $HOME"), 0);
    EXPECT_EQ(read_file("args.txt"), "[one]\n[two  three]\n[]\n[C:\\x]\n[$HOME]\n");
    EXPECT_FALSE(fs::exists("wrong"));
}

TEST(Program, PathSkipsWhatCannotRun) {
    scratch dir;
    dir.enter();
    fs::create_directories("first/show"); // a folder of that name
    fs::create_directories("second");
    write_file("second/show", "#!/bin/sh\n: > wrong\n"); // not executable
    fs::create_directories("third");
    script(dir / "third/show", ": > ran");
    env_var path("PATH", (dir / "first").string() + ":" + (dir / "second").string() + ":" +
                             (dir / "third").string());
    EXPECT_EQ(shell("show"), 0);
    EXPECT_TRUE(fs::exists("ran"));
    EXPECT_FALSE(fs::exists("wrong"));
}

TEST(Program, ExitStatusIsReturned) {
    scratch dir;
    dir.enter();
    script(dir / "status", "exit \"$1\"");
    for (int want : {0, 1, 7, 255})
        EXPECT_EQ(shell(".\\status " + std::to_string(want)), want);
    // A program ended by a signal gives 128 + the signal.
    EXPECT_EQ(shell("/bin/sh -c \"kill -TERM $$\""), 128 + SIGTERM);
}

// The stand-ins are found in the folder of the running program, whatever the
// current folder: the tests live beside them.
TEST(Program, StandInsBesideThisProgram) {
    scratch dir;
    dir.enter();
    auto here = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(sibling("vellomar-fetch"), (here / "vellomar-fetch").string());
    EXPECT_EQ(powershell_program(), (here / "vellomar-powershell").string());
}

TEST(Program, MissingProgram) {
    scratch dir;
    dir.enter();
    env_var path("PATH", dir.path().string());
    auto r = errors_of("nosuch arg");
    EXPECT_EQ(r.status, 9009);
    EXPECT_EQ(r.text, "'nosuch' 不是内部或外部命令，也不是可运行的程序\n或批处理文件。\n");

    r = errors_of(".\\nosuch");
    EXPECT_EQ(r.status, 9009);
    EXPECT_EQ(r.text, "'.\\nosuch' 不是内部或外部命令，也不是可运行的程序\n或批处理文件。\n");
}

TEST(Program, NotExecutableIsRefused) {
    scratch dir;
    dir.enter();
    write_file("plain", "#!/bin/sh\ntouch ran\n");
    fs::permissions("plain", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directory("folder");
    const std::string lines[] = {".\\plain", (dir / "plain").string(), ".\\folder"};
    for (const auto& line : lines) {
        auto r = errors_of(line);
        EXPECT_NE(r.status, 0) << line;
        EXPECT_EQ(r.text, "拒绝访问。\n") << line;
    }
    EXPECT_FALSE(fs::exists("ran"));
}

TEST(Program, ParentIgnoresInterruptWhileWaiting) {
    scratch dir;
    dir.enter();
    interrupts = 0;
    signal_as on_int(SIGINT, count_interrupt);
    signal_as on_quit(SIGQUIT, count_interrupt);
    // The child interrupts us and ends normally: we must not see the signal
    // (it would have killed the launcher), and run() must report the child's 0.
    EXPECT_EQ(shell("/bin/sh -c \"kill -INT $PPID; kill -QUIT $PPID; exit 0\""), 0);
    EXPECT_EQ(interrupts, 0);

    // Our handler is back afterwards.
    struct sigaction now;
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, count_interrupt);
    raise(SIGINT);
    EXPECT_EQ(interrupts, 1);
}

TEST(Program, ChildGetsDefaultInterruptEvenWhenIgnored) {
    scratch dir;
    dir.enter();
    for (int sig : {SIGINT, SIGQUIT}) {
        signal_as ignored(sig, SIG_IGN);
        // A shell that starts with the signal ignored survives sending it to
        // itself; one that starts with the default is ended by it.
        std::string name = sig == SIGINT ? "INT" : "QUIT";
        EXPECT_EQ(shell("/bin/sh -c \"kill -" + name + " $$; exit 0\""), 128 + sig) << name;
        struct sigaction now;
        sigaction(sig, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_IGN) << name;
    }
}

// --- a program run for its output ------------------------------------------

namespace {

// True once the process is gone (or a zombie, ended), within a few seconds.
bool ended(pid_t pid) {
    for (int i = 0; i < 300; ++i) {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}

} // namespace

TEST(Output, KeptWithinBoundsAndOverOnceTheProgramEnds) {
    scratch dir;
    dir.enter();
    const int limit = 3;
    // Each row: what the program does, its status, what is kept (and shown).
    struct row {
        const char* body;
        int status;
        std::string kept;
    };
    const row rows[] = {
        {"printf 'java version \"1.8.0_392\"\\n' >&2; exit 3", 3, "java version \"1.8.0_392\"\n"},
        // It never ends: it is ended, with what it started.
        {"sleep 60 & echo $! >> pids; exec sleep 60", timed_out, overran(limit)},
        // It never stops writing: only the first bytes are kept.
        {"exec yes", timed_out,
         [] {
             std::string y;
             while (y.size() < output_bytes)
                 y += "y\n";
             return y + overran(limit);
         }()},
        {"head -c 100000 /dev/zero | tr '\\0' x", 0, std::string(output_bytes, 'x')},
        // It ends, but what it started holds its output: no longer awaited, and ended.
        {"sleep 60 & echo $! >> pids; echo done", 0, "done\n"},
    };
    for (const auto& r : rows) {
        script(dir / "program", r.body);
        std::string output;
        capture shown(STDOUT_FILENO);
        auto began = std::chrono::steady_clock::now();
        int status = shell_output(".\\program", output, limit);
        double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_EQ(status, r.status) << r.body;
        EXPECT_EQ(output, r.kept) << r.body;
        EXPECT_EQ(shown.text(), r.kept) << r.body;
        if (r.status == timed_out)
            EXPECT_GE(took, limit - 0.1) << r.body;
        else
            EXPECT_LT(took, limit - 0.5) << r.body;
    }
    std::string pids = read_file("pids");
    EXPECT_EQ(std::count(pids.begin(), pids.end(), '\n'), 2);
    for (size_t at = 0, end; (end = pids.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_TRUE(ended(std::stoi(pids.substr(at, end - at)))) << pids;
}
