#include "editor/FileWrite.h"

#include <QFile>

#include <string>

bool WriteWholeFile(const QString& path, const QByteArray& content, const QByteArray& previous,
                    TWriteWay* way) {
    const QByteArray name = QFile::encodeName(path);
    return WriteFileWhole(
               std::string(name.constData(), static_cast<size_t>(name.size())),
               std::string_view(content.constData(), static_cast<size_t>(content.size())),
               std::string_view(previous.constData(), static_cast<size_t>(previous.size())),
               way) == 0;
}
