#include "download.h"

#include "base.h"

#include <cerrno>
#include <unistd.h>

int download(const std::string& url, const std::string& file) {
    std::string program = sibling("vellomar-fetch");
    int err = ENOENT;
    if (!program.empty()) {
        const char* argv[] = {program.c_str(), url.c_str(), file.c_str(), nullptr};
        execv(argv[0], const_cast<char* const*>(argv));
        err = errno;
    }
    say("下载失败: " + url + "\n原因: 无法运行下载程序 vellomar-fetch：" + words_for(err));
    return 1;
}
