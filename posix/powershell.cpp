#include "powershell.h"

#include "base.h"
#include "download.h"
#include "pack.h"
#include "unpack.h"

namespace {

// Takes the named parameters (by any unambiguous lower-case prefix of their
// names, as PowerShell allows) and the positional ones, in order.
bool bind(const std::vector<std::string>& args, const std::vector<std::vector<std::string>>& names,
          std::vector<std::string>& values) {
    values.assign(names.size(), "");
    std::vector<bool> set(names.size());
    size_t next = 0;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() > 1 && arg[0] == '-') {
            std::string flag = lower(arg.substr(1));
            size_t which = names.size();
            for (size_t n = 0; n < names.size(); ++n)
                for (const auto& name : names[n])
                    if (name.starts_with(flag)) which = n;
            if (which == names.size() || i + 1 >= args.size()) {
                say("找不到与参数名称“" + arg.substr(1) + "”匹配的参数。");
                return false;
            }
            values[which] = args[++i];
            set[which] = true;
        } else {
            while (next < names.size() && set[next])
                ++next;
            if (next == names.size()) {
                say("找不到接受实际参数“" + arg + "”的位置形式参数。");
                return false;
            }
            values[next] = arg;
            set[next] = true;
        }
    }
    for (size_t n = 0; n < names.size(); ++n)
        if (!set[n]) {
            say("缺少参数“" + names[n][0] + "”的值。");
            return false;
        }
    return true;
}

} // namespace

std::vector<std::string> ps_words(std::string_view line) {
    std::vector<std::string> out;
    std::string word;
    bool started = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\'') {
            started = true;
            for (++i; i < line.size(); ++i) {
                if (line[i] == '\'') {
                    if (i + 1 < line.size() && line[i + 1] == '\'') {
                        word += '\'';
                        ++i;
                    } else {
                        break;
                    }
                } else {
                    word += line[i];
                }
            }
        } else if (c == '"') {
            started = true;
            for (++i; i < line.size() && line[i] != '"'; ++i)
                word += line[i];
        } else if (blank(c)) {
            if (started) out.push_back(word);
            word.clear();
            started = false;
        } else {
            word += c;
            started = true;
        }
    }
    if (started) out.push_back(word);
    return out;
}

int powershell(std::string_view command) {
    auto args = ps_words(command);
    if (args.empty()) return 0;
    std::string verb = lower(args[0]);
    std::vector<std::string> v;
    if (verb == "curl" || verb == "invoke-webrequest" || verb == "iwr" || verb == "wget") {
        if (!bind(args, {{"uri"}, {"outfile", "o"}}, v)) return 1;
        return download(v[0], native(v[1]));
    }
    if (verb == "expand-archive") {
        if (!bind(args, {{"path", "literalpath"}, {"destinationpath"}}, v)) return 1;
        return expand(native(v[0]), native(v[1]));
    }
    if (verb == "compress-archive") {
        if (!bind(args, {{"path", "literalpath"}, {"destinationpath"}}, v)) return 1;
        return compress(native(v[0]), native(v[1]));
    }
    say("无法将“" + args[0] +
        "”项识别为 "
        "cmdlet、函数、脚本文件或可运行程序的名称。请检查名称的拼写，如果包括路径，请确保路径正确，"
        "然后再试一次。");
    return 1;
}
