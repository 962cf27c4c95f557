#pragma once

// The character set of the names in an archive, for pack.cpp and unpack.cpp.

#include <locale.h>

// While one lives, this thread's character set is UTF-8, whatever the
// process's locale: libarchive converts entry names from and to the current
// thread's character set, and the names on disk and in the archive are UTF-8.
struct utf8_names {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    locale_t old = utf8 ? uselocale(utf8) : nullptr;
    ~utf8_names() {
        if (utf8) {
            uselocale(old);
            freelocale(utf8);
        }
    }
};
