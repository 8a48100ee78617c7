// Helper of the save tests: writes one value of the file given as argument over and over,
// alternating two texts, and reports each write on its output until it is killed. With
// "--unprivileged" it first acts as an ordinary user (when started as root), so that a folder
// it may not write counts.
#include "editor/IniFile.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return 2;
    if (argc == 3) {
        constexpr uid_t kNobody = 65534;
        if (std::strcmp(argv[2], "--unprivileged") != 0) return 2;
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) return 3;
    }
    TIniFile ini(QString::fromLocal8Bit(argv[1]));
    const QString texts[2] = {QString(300, u'a'), QString(300, u'b')};
    for (unsigned i = 0;; ++i) {
        ini.WriteValue("500", "eon", texts[i % 2]);
        std::printf("%u\n", i);
        std::fflush(stdout);
    }
}
