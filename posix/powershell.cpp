#include "powershell.h"

#include "base.h"
#include "bind.h"
#include "download.h"
#include "pack.h"
#include "unpack.h"

#include <algorithm>
#include <dirent.h>

namespace {

// Says, in PowerShell's words, why words did not bind.
void say_fault(const ps_binding& bound) {
    switch (bound.fault) {
    case ps_fault::unknown:
        say("找不到与参数名称“" + bound.word + "”匹配的参数。");
        break;
    case ps_fault::ambiguous: {
        std::string list;
        for (const auto& name : bound.matches)
            list += " -" + name;
        say("无法处理参数，因为参数名称“" + bound.word + "”具有二义性。可能的匹配项包括:" + list +
            "。");
        break;
    }
    case ps_fault::no_value:
        say("缺少参数“" + bound.param + "”的值。");
        break;
    case ps_fault::twice:
        say("无法绑定参数，因为多次指定了参数“" + bound.param + "”。");
        break;
    case ps_fault::positional:
        say("找不到接受实际参数“" + bound.word + "”的位置形式参数。");
        break;
    case ps_fault::sets:
        say("无法使用指定的命名参数解析参数集。");
        break;
    case ps_fault::none:
        break;
    }
}

// Binds the command's words to the cmdlet's parameters; true when they
// bound, every parameter given is one this stand-in carries out (carried) and
// each of needed was given. Says why not otherwise.
bool bind_to(const std::vector<ps_word>& words, const std::vector<ps_param>& params,
             const std::vector<std::string>& carried, const std::vector<std::string>& needed,
             ps_binding& bound) {
    bound = ps_bind(words, params);
    if (bound.fault != ps_fault::none) {
        say_fault(bound);
        return false;
    }
    for (size_t n = 0; n < params.size(); ++n)
        if (bound.given[n] &&
            std::find(carried.begin(), carried.end(), params[n].name) == carried.end()) {
            say("此替代程序不支持参数“-" + params[n].name + "”。");
            return false;
        }
    for (const auto& name : needed)
        if (ps_value(bound, params, name).empty()) {
            say("缺少参数“" + name + "”的值。");
            return false;
        }
    return true;
}

// The one path a -Path value stands for, its last part read as a wildcard
// pattern; empty, after saying why, when it names nothing or several.
std::string resolved(const std::string& path) {
    if (!ps_wild(path)) return path;
    std::string folder = path.substr(0, path.find_last_of("\\/") + 1);
    std::string pattern = path.substr(folder.size());
    std::vector<std::string> found;
    if (DIR* dir = opendir(folder.empty() ? "." : native(folder).c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != ".." && ps_match(pattern, name)) found.push_back(name);
        }
        closedir(dir);
    }
    if (found.size() == 1) return folder + found[0];
    if (found.empty())
        say("路径“" + path + "”不存在或不是有效的文件系统路径。");
    else
        say("路径“" + path + "”解析为多个文件系统路径，此替代程序只处理一个。");
    return {};
}

// The archive's source: -LiteralPath as written, -Path resolved.
std::string source(const ps_binding& bound, const std::vector<ps_param>& params) {
    std::string literal = ps_value(bound, params, "LiteralPath");
    return literal.empty() ? resolved(ps_value(bound, params, "Path")) : literal;
}

// curl's own arguments, as curl.exe reads them: -o FILE and the address; -L
// and -f are what this download does anyway.
int curl(const std::vector<ps_word>& words) {
    std::string url, file;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& arg = words[i].text;
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= words.size()) {
                say("curl: option " + arg + ": requires parameter");
                return 1;
            }
            file = words[++i].text;
        } else if (arg == "-L" || arg == "--location" || arg == "-f" || arg == "--fail") {
        } else if (arg.size() > 1 && arg[0] == '-') {
            say("curl: option " + arg + ": is unknown");
            return 1;
        } else if (url.empty()) {
            url = arg;
        }
    }
    if (url.empty()) {
        say("curl: no URL specified");
        return 1;
    }
    if (file.empty()) {
        say("此替代程序只把下载保存到 -o 指定的文件。");
        return 1;
    }
    return download(url, native(file));
}

} // namespace

int powershell(std::string_view command) {
    auto words = ps_words(command);
    if (words.empty()) return 0;
    if (lower(words[0].text) == "curl.exe") return curl(words);
    std::string cmdlet = ps_cmdlet(words[0].text);
    auto params = ps_parameters(cmdlet);
    ps_binding bound;
    if (cmdlet == "Invoke-WebRequest") {
        // "-o", which Windows PowerShell finds ambiguous, is taken here as
        // -OutFile, as the lines of scripts written for this stand-in have it.
        for (auto& param : params)
            if (param.name == "OutFile") param.aliases.push_back("o");
        if (!bind_to(words, params, {"Uri", "OutFile", "UseBasicParsing"}, {"Uri", "OutFile"},
                     bound))
            return 1;
        return download(ps_value(bound, params, "Uri"), native(ps_value(bound, params, "OutFile")));
    }
    if (cmdlet == "Expand-Archive" || cmdlet == "Compress-Archive") {
        if (!bind_to(words, params, {"Path", "LiteralPath", "DestinationPath"}, {"DestinationPath"},
                     bound))
            return 1;
        if (ps_value(bound, params, "Path").empty() &&
            ps_value(bound, params, "LiteralPath").empty()) {
            say("缺少参数“Path”的值。");
            return 1;
        }
        std::string from = source(bound, params);
        if (from.empty()) return 1;
        std::string to = native(ps_value(bound, params, "DestinationPath"));
        return cmdlet == "Expand-Archive" ? expand(native(from), to) : compress(native(from), to);
    }
    say("无法将“" + words[0].text +
        "”项识别为 "
        "cmdlet、函数、脚本文件或可运行程序的名称。请检查名称的拼写，如果包括路径，请确保路径正确，"
        "然后再试一次。");
    return 1;
}
