#include "archive.h"

#include "files.h"
#include "shell.h"

std::string download_line(std::string file, std::string url) {
    return "powershell curl  -o " + file + " " + url;
}

std::string unzip_line(std::string zip, std::string dest) {
    return "powershell Expand-Archive -LiteralPath '" + zip + "' -DestinationPath '" + dest + "'";
}

std::string zip_line(std::string src, std::string dest) {
    return "powershell Compress-Archive '" + src + "' '" + dest + "'";
}

void downloads(std::string folder, std::string url, std::string file) {
    std::string back = get_cd();
    cd(folder);
    shell(download_line(file, url));
    cd(back);
}

void unzip(std::string zip, std::string dest) {
    shell(unzip_line(zip, dest));
}

int zip(std::string src, std::string dest) {
    return shell(zip_line(src, dest));
}
