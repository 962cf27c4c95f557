#include "shell.h"

std::string overran(int seconds) {
    return "该程序在 " + std::to_string(seconds) + " 秒内没有结束，已将它结束。\n";
}

std::string as_written(std::string line) {
    return !line.empty() && line.front() == '"' ? "\"" + line + "\"" : line;
}
