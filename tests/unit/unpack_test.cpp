// Extraction's decisions on names and links, and the words errors are said in;
// whole archives are extracted end to end in test_extract.py.

#include "posix/base.h"
#include "posix/links.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <utility>
#include <vector>

namespace {

TEST(CleanName, NamesThatStayInsideAndNamesThatLeave) {
    struct row {
        const char* name;
        bool inside;
        const char* want;
    };
    const row rows[] = {
        {"eula.txt", true, "eula.txt"},
        {"world\\region\\r.0.mca", true, "world/region/r.0.mca"},
        {"./a//b/", true, "a/b"},
        {"a/C:b", true, "a/C:b"},
        {"...", true, "..."},
        {".", true, ""},
        {"./", true, ""},
        {"", false, ""},
        {"/etc/passwd", false, ""},
        {"\\evil.txt", false, ""},
        {"../evil.txt", false, ""},
        {"a/../b", false, ""},
        {"a\\..\\..\\evil.txt", false, ""},
        {"C:/evil.txt", false, ""},
        {"c:evil.txt", false, ""},
        {"./C:\\evil.txt", false, ""},
    };
    for (const auto& r : rows) {
        std::filesystem::path out = "stale";
        EXPECT_EQ(clean_name(r.name, out), r.inside) << r.name;
        if (r.inside) {
            EXPECT_EQ(out.generic_string(), r.want) << r.name;
        }
    }
}

TEST(Links, FollowedThroughTheLinksMadeBefore) {
    // The archive's links in order; where the last one leads.
    struct row {
        std::vector<std::pair<const char*, const char*>> links;
        leads want;
    };
    const row rows[] = {
        {{{"lib/alias.txt", "real.txt"}}, leads::inside},
        {{{"a", "missing"}}, leads::inside},
        // From the link's own folder, not from the destination.
        {{{"a/b/l", "../../x"}}, leads::inside},
        {{{"a/l", "../../x"}}, leads::outside},
        {{{"passwd", "/etc/passwd"}}, leads::outside},
        {{{"w", "\\evil"}}, leads::outside},
        {{{"e", ""}}, leads::outside},
        // Through an earlier link, as the system resolves it, not as the
        // target reads.
        {{{"d", "a/b"}, {"x", "d/../../y"}}, leads::inside},
        {{{"d1/up", ".."}, {"e", "d1/up/.."}}, leads::outside},
        {{{"d/up", ".."}, {"java", "d/up/../../rt.txt"}}, leads::outside},
        // A link made again replaces the one before.
        {{{"l", "/etc"}, {"l", "x"}}, leads::inside},
        {{{"a", "b"}, {"b", "a"}}, leads::loop},
        {{{"s", "s"}}, leads::loop},
        {{{"s", "s/x"}}, leads::loop},
    };
    for (const auto& r : rows) {
        archive_links links;
        leads got = leads::inside;
        for (const auto& [name, target] : r.links)
            got = links.add(name, target);
        EXPECT_EQ(got, r.want) << r.links.back().first << " -> " << r.links.back().second;
    }
}

TEST(Links, ALaterLinkTurnsAnEarlierOneOutward) {
    archive_links links;
    EXPECT_EQ(links.add("java", "d/up/../../rt.txt"), leads::inside);
    EXPECT_FALSE(links.astray());
    EXPECT_EQ(links.add("d/up", ".."), leads::inside);
    auto astray = links.astray();
    ASSERT_TRUE(astray);
    EXPECT_EQ(astray->name, "java");
    EXPECT_EQ(astray->where, leads::outside);

    // Under a link is through it; the link's own name only when writing over it.
    EXPECT_TRUE(links.through("d/up/evil.txt", false));
    EXPECT_TRUE(links.through("d/up", true));
    EXPECT_FALSE(links.through("d/up", false));
    EXPECT_FALSE(links.through("d/upper", true));
    EXPECT_FALSE(links.through("d", true));
}

TEST(Words, CmdAndPowerShellEachInTheirWords) {
    struct row {
        int err;
        const char* cmd;
        const char* powershell;
    };
    const row rows[] = {
        {ENOSPC, "磁盘空间不足。", "磁盘空间不足"},
        {EFBIG, "磁盘空间不足。", "磁盘空间不足"},
        {EROFS, "拒绝访问。", "拒绝访问"},
        {ENAMETOOLONG, "文件名、目录名或卷标语法不正确。", "名称过长"},
        {ENOTEMPTY, "目录不是空的。", "同名的文件或文件夹已存在"},
        {ENOENT, "系统找不到指定的路径。", "路径不存在"},
        // No words of cmd's own: what it says for a path it cannot find.
        {ELOOP, "系统找不到指定的路径。", "经过的链接过多"},
        // None of PowerShell's: the number.
        {EINVAL, "文件名、目录名或卷标语法不正确。", "系统错误 22"},
        {EXDEV, "系统找不到指定的路径。", "系统错误 18"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(cmd_words(r.err), r.cmd) << r.err;
        EXPECT_EQ(words_for(r.err), r.powershell) << r.err;
    }
    EXPECT_EQ(words_for(EXDEV, "无法写入文件"), "无法写入文件");
    EXPECT_EQ(words_for(ENOSPC, "无法写入文件"), "磁盘空间不足");
}

} // namespace
