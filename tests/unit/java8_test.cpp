#include "launcher/java8.h"

#include "scratch.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

TEST(JavaIn, TheProgramOfTheOneFolderInside) {
    // The files an extraction left in java8 ("!": executable), and the
    // program found, below java8; "-": no java8 at all.
    struct {
        std::vector<std::string> files;
        std::string found;
    } cases[] = {
        {{"jre-8u392/bin/java!", "jre-8u392/lib/rt.jar"}, "jre-8u392/bin/java"},
        {{"jdk8u392/bin/java!", "jdk8u392/jre/bin/java!"}, "jdk8u392/bin/java"},
        {{"jdk8u392/jre/bin/java!"}, "jdk8u392/jre/bin/java"},
        {{"jre/bin/java"}, ""},       // not a program
        {{"jre/bin/java/java!"}, ""}, // a folder by that name
        {{"bin/java!"}, ""},          // no folder of its own around it
        {{"a/bin/java!", "b/bin/java!"}, ""},
        {{"jre/bin/java!", "README.txt"}, ""},
        {{"jre/"}, ""},
        {{}, ""},
        {{"-"}, ""},
    };
    for (const auto& c : cases) {
        scratch dir;
        if (c.files != std::vector<std::string>{"-"}) fs::create_directory(dir / "java8");
        for (std::string name : c.files) {
            bool program = name.back() == '!';
            if (program) name.pop_back();
            fs::path path = dir / "java8" / name;
            fs::create_directories(name.back() == '/' ? path : path.parent_path());
            if (name.back() == '/') continue;
            write_file(path, "#!/bin/sh\n");
            if (program) fs::permissions(path, fs::perms::owner_all);
        }
        dir.enter();
        std::string want = c.found.empty() ? "" : (dir / "java8" / c.found).string();
        EXPECT_EQ(java_in("java8"), want) << testing::PrintToString(c.files);
    }
}

} // namespace
