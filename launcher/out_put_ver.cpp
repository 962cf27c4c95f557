// The banner shown at the top of every menu and installation screen.

#include "util/console.h"

int main() {
    print("----------------------------------------\n");
    print("  vellomar " VELLOMAR_VERSION " · 服务器安装与启动\n");
    print("  可安装的服务器版本: " VELLOMAR_SERVER_VERSION "\n");
    print("----------------------------------------\n");
    return 0;
}
