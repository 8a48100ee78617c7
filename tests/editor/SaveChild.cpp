// Helper of the save test: writes one value of the file given as argument over and over,
// alternating two texts, and reports each write on its output until it is killed.
#include "editor/IniFile.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    TIniFile ini(QString::fromLocal8Bit(argv[1]));
    const QString texts[2] = {QString(300, u'a'), QString(300, u'b')};
    for (unsigned i = 0;; ++i) {
        ini.WriteValue("500", "eon", texts[i % 2]);
        std::printf("%u\n", i);
        std::fflush(stdout);
    }
}
