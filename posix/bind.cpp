#include "bind.h"

#include <algorithm>

namespace {

std::string small(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The length of the quote at line[i]: 1 for ' or ", 3 for the typographic
// ones in UTF-8 (E2 80 98-9B single, 9C-9E double); 0 for no quote of that kind.
size_t quote_at(std::string_view line, size_t i, bool single) {
    if (i >= line.size()) return 0;
    if (line[i] == (single ? '\'' : '"')) return 1;
    if (i + 2 >= line.size() || line[i] != '\xe2' || line[i + 1] != '\x80') return 0;
    auto third = static_cast<unsigned char>(line[i + 2]);
    return (single ? third >= 0x98 && third <= 0x9b : third >= 0x9c && third <= 0x9e) ? 3 : 0;
}

// Reads the quoted text that begins at line[i] into word; i ends past it.
void quoted(std::string_view line, size_t& i, std::string& word) {
    bool single = quote_at(line, i, true) != 0;
    i += quote_at(line, i, single);
    while (i < line.size()) {
        if (size_t q = quote_at(line, i, single)) {
            i += q;
            size_t again = quote_at(line, i, single);
            if (!again) return;
            word.append(line.substr(i, again));
            i += again;
        } else if (!single && line[i] == '`' && i + 1 < line.size()) {
            word += line[i + 1];
            i += 2;
        } else {
            word += line[i++];
        }
    }
}

bool starts_quote(std::string_view line, size_t i) {
    return quote_at(line, i, true) || quote_at(line, i, false);
}

const std::vector<ps_param>& common() {
    static const std::vector<ps_param> list = {
        {"Verbose", {"vb"}, true},   {"Debug", {"db"}, true},         {"ErrorAction", {"ea"}},
        {"WarningAction", {"wa"}},   {"InformationAction", {"infa"}}, {"ErrorVariable", {"ev"}},
        {"WarningVariable", {"wv"}}, {"InformationVariable", {"iv"}}, {"OutVariable", {"ov"}},
        {"OutBuffer", {"ob"}},       {"PipelineVariable", {"pv"}},
    };
    return list;
}

// Where the parameter named (or aliased) name is, or params.size().
size_t exact(const std::vector<ps_param>& params, const std::string& name) {
    for (size_t n = 0; n < params.size(); ++n) {
        if (small(params[n].name) == name) return n;
        for (const auto& alias : params[n].aliases)
            if (small(alias) == name) return n;
    }
    return params.size();
}

// The parameters whose names or aliases begin with prefix.
std::vector<size_t> begun(const std::vector<ps_param>& params, const std::string& prefix) {
    std::vector<size_t> found;
    for (size_t n = 0; n < params.size(); ++n) {
        bool hit = small(params[n].name).starts_with(prefix);
        for (const auto& alias : params[n].aliases)
            hit = hit || small(alias).starts_with(prefix);
        if (hit) found.push_back(n);
    }
    return found;
}

// True when the word is a parameter's name: unquoted, a dash, then a letter,
// an underscore or a question mark.
bool named(const ps_word& word) {
    if (word.quoted || word.text.size() < 2 || word.text[0] != '-') return false;
    char c = word.text[1];
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '?';
}

} // namespace

std::vector<ps_word> ps_words(std::string_view line) {
    std::vector<ps_word> out;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        ps_word word;
        if (starts_quote(line, i)) {
            word.quoted = true;
            quoted(line, i, word.text);
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                if (starts_quote(line, i)) {
                    quoted(line, i, word.text);
                } else if (line[i] == '`' && i + 1 < line.size()) {
                    word.text += line[i + 1];
                    i += 2;
                } else {
                    word.text += line[i++];
                }
            }
        }
        out.push_back(word);
    }
    return out;
}

std::vector<ps_param> ps_parameters(std::string_view cmdlet) {
    std::string name = small(cmdlet);
    std::vector<ps_param> list;
    if (name == "invoke-webrequest") {
        list = {
            {"UseBasicParsing", {}, true},
            {"Uri", {}, false, 0},
            {"WebSession", {}},
            {"SessionVariable", {"SV"}},
            {"Credential", {}},
            {"UseDefaultCredentials", {}, true},
            {"CertificateThumbprint", {}},
            {"Certificate", {}},
            {"UserAgent", {}},
            {"DisableKeepAlive", {}, true},
            {"TimeoutSec", {}},
            {"Headers", {}},
            {"MaximumRedirection", {}},
            {"Method", {}},
            {"Proxy", {}},
            {"ProxyCredential", {}},
            {"ProxyUseDefaultCredentials", {}, true},
            {"Body", {}},
            {"ContentType", {}},
            {"TransferEncoding", {}},
            {"InFile", {}},
            {"OutFile", {}},
            {"PassThru", {}, true},
        };
    } else if (name == "expand-archive" || name == "compress-archive") {
        list = {
            {"Path", {}, false, 0, 1},
            {"LiteralPath", {"PSPath"}, false, -1, 2},
            {"DestinationPath", {}, false, 1},
        };
        if (name == "compress-archive") {
            list.push_back({"CompressionLevel", {}});
            list.push_back({"Update", {}, true});
        }
        list.push_back({"Force", {}, true});
    } else {
        return list;
    }
    if (name != "invoke-webrequest") {
        list.push_back({"WhatIf", {"wi"}, true});
        list.push_back({"Confirm", {"cf"}, true});
    }
    list.insert(list.end(), common().begin(), common().end());
    return list;
}

std::string ps_cmdlet(std::string_view name) {
    std::string word = small(name);
    if (word == "invoke-webrequest" || word == "curl" || word == "iwr" || word == "wget")
        return "Invoke-WebRequest";
    if (word == "expand-archive") return "Expand-Archive";
    if (word == "compress-archive") return "Compress-Archive";
    return {};
}

ps_binding ps_bind(const std::vector<ps_word>& words, const std::vector<ps_param>& params) {
    ps_binding bound;
    bound.values.assign(params.size(), "");
    bound.given.assign(params.size(), false);
    auto fail = [&](ps_fault fault, std::string word, std::string param = {}) {
        bound.fault = fault;
        bound.word = std::move(word);
        bound.param = std::move(param);
        return bound;
    };
    std::vector<std::string> unnamed;
    for (size_t i = 1; i < words.size(); ++i) {
        if (!named(words[i])) {
            unnamed.push_back(words[i].text);
            continue;
        }
        std::string written = words[i].text.substr(1), value;
        size_t colon = written.find(':');
        bool inline_value = colon != std::string::npos;
        if (inline_value) {
            value = written.substr(colon + 1);
            written.erase(colon);
        }
        size_t which = exact(params, small(written));
        if (which == params.size()) {
            std::vector<size_t> found = begun(params, small(written));
            if (found.empty()) return fail(ps_fault::unknown, written);
            if (found.size() > 1) {
                for (size_t n : found)
                    bound.matches.push_back(params[n].name);
                return fail(ps_fault::ambiguous, written);
            }
            which = found[0];
        }
        const ps_param& param = params[which];
        if (bound.given[which]) return fail(ps_fault::twice, written, param.name);
        if (param.is_switch) {
            value = inline_value ? value : "True";
        } else if (!inline_value) {
            if (i + 1 >= words.size() || named(words[i + 1]))
                return fail(ps_fault::no_value, written, param.name);
            value = words[++i].text;
        }
        bound.values[which] = value;
        bound.given[which] = true;
    }
    int set = 0;
    for (size_t n = 0; n < params.size(); ++n) {
        if (!bound.given[n] || params[n].set == 0) continue;
        if (set != 0 && set != params[n].set) return fail(ps_fault::sets, params[n].name);
        set = params[n].set;
    }
    for (const std::string& value : unnamed) {
        size_t best = params.size();
        for (size_t n = 0; n < params.size(); ++n) {
            const ps_param& param = params[n];
            if (bound.given[n] || param.position < 0 ||
                (set != 0 && param.set != 0 && param.set != set))
                continue;
            if (best == params.size() || param.position < params[best].position) best = n;
        }
        if (best == params.size()) return fail(ps_fault::positional, value);
        bound.values[best] = value;
        bound.given[best] = true;
        if (params[best].set != 0) set = params[best].set;
    }
    return bound;
}

std::string ps_value(const ps_binding& bound, const std::vector<ps_param>& params,
                     std::string_view name) {
    size_t n = exact(params, small(name));
    return n < params.size() && n < bound.values.size() ? bound.values[n] : std::string();
}

bool ps_match(std::string_view pattern, std::string_view name) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (pattern.empty()) return name.empty();
    char p = pattern[0];
    if (p == '*')
        for (size_t skip = 0;; ++skip) {
            if (ps_match(pattern.substr(1), name.substr(skip))) return true;
            if (skip == name.size()) return false;
        }
    if (name.empty()) return false;
    // One character, in UTF-8 one to four bytes.
    size_t one = 1;
    while (one < name.size() && (static_cast<unsigned char>(name[one]) & 0xc0) == 0x80)
        ++one;
    if (p == '?') return ps_match(pattern.substr(1), name.substr(one));
    if (p == '[') {
        size_t end = pattern.find(']', 1);
        if (end == std::string_view::npos) return false;
        std::string_view set = pattern.substr(1, end - 1);
        bool in = false;
        for (size_t k = 0; k < set.size(); ++k) {
            if (k + 2 < set.size() && set[k + 1] == '-') {
                in = in || (fold(name[0]) >= fold(set[k]) && fold(name[0]) <= fold(set[k + 2]));
                k += 2;
            } else {
                in = in || fold(name[0]) == fold(set[k]);
            }
        }
        return in && ps_match(pattern.substr(end + 1), name.substr(1));
    }
    if (p == '`' && pattern.size() > 1) {
        p = pattern[1];
        pattern.remove_prefix(1);
    }
    return fold(p) == fold(name[0]) && ps_match(pattern.substr(1), name.substr(1));
}

bool ps_wild(std::string_view text) {
    return text.find_first_of("*?[]") != std::string_view::npos;
}
