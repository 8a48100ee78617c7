#include "editor/Paths.h"

#include "platform/graphics/Exceptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

namespace {

QString WithSlash(QString folder) {
    if (!folder.endsWith(u'/')) folder += u'/';
    return folder;
}

// Copies the files and folders of `from` into `to`, those `to` lacks only; `last` (a name in
// `from`) is copied after everything else. Copies are writable by their owner.
bool CopyMissing(const QString& from, const QString& to, const QString& last, QString& failed) {
    if (!QDir().mkpath(to)) {
        failed = to;
        return false;
    }
    const QFileInfoList entries = QDir(from).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name | QDir::DirsFirst);
    QStringList names;
    for (const QFileInfo& entry : entries) {
        if (entry.fileName() != last) names.append(entry.fileName());
    }
    if (!last.isEmpty() && QFileInfo::exists(from + u'/' + last)) names.append(last);
    for (const QString& name : names) {
        const QString source = from + u'/' + name, target = to + u'/' + name;
        if (QFileInfo(source).isDir()) {
            if (!CopyMissing(source, target, QString(), failed)) return false;
            continue;
        }
        if (QFileInfo::exists(target)) continue;
        if (!QFile::copy(source, target) ||
            !QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadGroup | QFileDevice::ReadOther)) {
            failed = target;
            return false;
        }
    }
    return true;
}

} // namespace

QString UserDataFolder() {
    const QString configured = qEnvironmentVariable("XDG_DATA_HOME");
    if (!configured.isEmpty() && QDir::isAbsolutePath(configured)) return configured;
    return QDir::homePath() + QStringLiteral("/.local/share");
}

QString CalendarFolder(const QString& exeFolder, const QString& dataHome, QString* problem) {
    const QString beside = WithSlash(exeFolder);
    const QFileInfo data(beside + QStringLiteral("Donnees.ini"));
    if (data.isFile() && data.isWritable()) return beside;
    const QString installed =
        QDir::cleanPath(beside + QStringLiteral("../share/chronolith/calendar"));
    if (!QFileInfo(installed + QStringLiteral("/Donnees.ini")).isFile()) return beside;
    const QString own = QDir::cleanPath(dataHome + QStringLiteral("/chronolith"));
    if (QFileInfo(own + QStringLiteral("/Donnees.ini")).isFile()) return WithSlash(own);
    QString failed;
    if (CopyMissing(installed, own, QStringLiteral("Donnees.ini"), failed)) return WithSlash(own);
    if (problem != nullptr) {
        *problem = QStringLiteral("Le calendrier d'exemple n'a pas pu être copié dans %1 (%2 "
                                  "n'a pas pu être écrit) : le calendrier installé, %3, est "
                                  "ouvert et ne peut pas être modifié.")
                       .arg(own, failed, installed);
    }
    return WithSlash(installed);
}

namespace {

struct TBaseFolder {
    QString folder;
    QString problem;
};

const TBaseFolder& WorkedOutBaseFolder() {
    static const TBaseFolder base = [] {
        TBaseFolder made;
        made.folder =
            CalendarFolder(QCoreApplication::applicationDirPath(), UserDataFolder(), &made.problem);
        return made;
    }();
    return base;
}

} // namespace

QString BaseFolder() {
    return WorkedOutBaseFolder().folder;
}

QString BaseFolderProblem() {
    return WorkedOutBaseFolder().problem;
}

namespace {

// "E:", "\\server\share", or empty.
QString DriveOf(const QString& path) {
    if (path.size() >= 2 && path[1] == u':') return path.left(2);
    if (path.startsWith(u"\\\\")) {
        const qsizetype serverEnd = path.indexOf(u'\\', 2);
        if (serverEnd < 0) return path;
        const qsizetype shareEnd = path.indexOf(u'\\', serverEnd + 1);
        return shareEnd < 0 ? path : path.left(shareEnd);
    }
    return {};
}

// Where the name starts: just after the last backslash or colon.
qsizetype NameStart(const QString& path) {
    qsizetype i = path.size();
    while (i > 0 && path[i - 1] != u'\\' && path[i - 1] != u':') --i;
    return i;
}

// The folder names of a path's folder part, after its drive.
QStringList FolderNames(const QString& path, qsizetype driveLength) {
    const qsizetype folderEnd = NameStart(path);
    if (folderEnd <= driveLength) return {};
    return path.mid(driveLength, folderEnd - driveLength).split(u'\\', Qt::SkipEmptyParts);
}

qsizetype SharedCount(const QStringList& a, const QStringList& b, Qt::CaseSensitivity cs) {
    const qsizetype n = std::min(a.size(), b.size());
    qsizetype shared = 0;
    while (shared < n && a[shared].compare(b[shared], cs) == 0) ++shared;
    return shared;
}

} // namespace

QString RelativePath(const QString& baseFolder, const QString& filePath,
                     Qt::CaseSensitivity folderCase) {
    const QString baseDrive = DriveOf(baseFolder);
    const QString fileDrive = DriveOf(filePath);
    if (baseDrive.compare(fileDrive, Qt::CaseInsensitive) != 0) return filePath;

    const QStringList base = FolderNames(baseFolder, baseDrive.size());
    const QStringList file = FolderNames(filePath, fileDrive.size());
    const qsizetype shared = SharedCount(base, file, folderCase);

    QString result;
    for (qsizetype i = shared; i < base.size(); ++i) result += u"..\\";
    for (qsizetype i = shared; i < file.size(); ++i) result += file[i] + u'\\';
    return result + filePath.mid(NameStart(filePath));
}

QString StoredPath(const QString& baseFolder, const QString& nativeFile) {
    // Worked out on the native names themselves, so that a colon, which is an ordinary
    // character in a file name here, is not taken for a drive.
    const QStringList base = QDir::cleanPath(baseFolder).split(u'/', Qt::SkipEmptyParts);
    const QStringList file = QDir::cleanPath(QDir(baseFolder).absoluteFilePath(nativeFile))
                                 .split(u'/', Qt::SkipEmptyParts);
    if (file.isEmpty()) {
        throw Exception(Format("%s n'est pas un nom de fichier", nativeFile.toUtf8().constData()));
    }
    const qsizetype shared = SharedCount(base, file.first(file.size() - 1), Qt::CaseSensitive);

    QStringList parts;
    for (qsizetype i = shared; i < base.size(); ++i) parts += QStringLiteral("..");
    for (qsizetype i = shared; i < file.size(); ++i) {
        if (file[i].contains(u'\\')) {
            throw Exception(Format("Le nom %s contient une barre oblique inverse : le calendrier "
                                   "ne peut pas l'enregistrer",
                                   nativeFile.toUtf8().constData()));
        }
        parts += file[i];
    }
    return parts.join(u'\\');
}

QString NativePath(const QString& baseFolder, const QString& storedName) {
    QString path = baseFolder;
    if (!path.endsWith(u'/')) path += u'/';
    const QStringList parts = storedName.split(u'\\');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        QString part = parts[i];
        if (!part.isEmpty() && part != u"." && part != u".." && !QFileInfo::exists(path + part)) {
            const QStringList entries = QDir(path).entryList(QDir::AllEntries | QDir::Hidden |
                                                             QDir::System | QDir::NoDotAndDotDot);
            QStringList matches;
            for (const QString& entry : entries)
                if (entry.compare(part, Qt::CaseInsensitive) == 0) matches += entry;
            if (matches.size() == 1) part = matches.first();
        }
        path += part;
        if (i + 1 < parts.size()) path += u'/';
    }
    return path;
}

TColor ColorCellValue(const QString& cell) {
    if (cell.isEmpty()) return 0;
    return static_cast<TColor>(StrToInt(cell.toStdString()));
}

QString ColorCellText(TColor color) {
    return QString::number(color);
}

QColor ToQColor(TColor color) {
    return QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF));
}

TColor FromQColor(const QColor& color) {
    return RGBColor(uint8_t(color.red()), uint8_t(color.green()), uint8_t(color.blue()));
}
