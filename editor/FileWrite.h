// Writing a calendar file's whole new content, so that a failure never leaves it damaged: the
// platform's whole-file write (platform/files/AtomicFile.h says how), for Qt paths and bytes.
#pragma once

#include "platform/files/AtomicFile.h"

#include <QByteArray>
#include <QString>

// Gives the file at `path` the content `content`; `previous` is what the file holds now (written
// back should an in-place write fail). Answers false when the file could not be written, in
// which case it holds what it held before. `way`, when given, tells how the file was written.
bool WriteWholeFile(const QString& path, const QByteArray& content, const QByteArray& previous,
                    TWriteWay* way = nullptr);
