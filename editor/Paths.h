// File names as the calendar stores them, the base folder they are relative to, and the
// colour cells of scale files.
//
// The calendar files keep the paths they have always held: relative to the folder of the
// executable and written with backslashes ("Images\x.jpg", "..\Autre\y.htm"), so that the same
// calendar works with the calendar's Windows programs. Native paths are turned into that form
// when a picker stores a chosen file, and stored names are turned back into native paths when
// a file is opened.
#pragma once

#include "platform/graphics/Bitmap.h"

#include <QColor>
#include <QString>

// The folder of the calendar the editor works on, ending with "/" (CalendarFolder for the
// running executable and the user's data folder). Needs the application object.
QString BaseFolder();
// Why the calendar could not be copied for the person when BaseFolder was worked out, in
// French; empty when nothing went wrong.
QString BaseFolderProblem();

// The calendar folder, ending with "/", for an executable in `exeFolder`:
//   - `exeFolder` itself when it holds a Donnees.ini that may be written (the build tree, a
//     calendar carried on a stick): the editor works there, as it always has;
//   - otherwise, when the executable is installed with its sample calendar
//     (`exeFolder`/../share/chronolith/calendar holds a Donnees.ini), the person's own calendar
//     `dataHome`/chronolith: on first start (no Donnees.ini there yet) the sample calendar is
//     copied there, its files writable by their owner, Donnees.ini last so that an interrupted
//     copy is made again;
//   - otherwise `exeFolder` (a missing calendar opens as an empty table).
// When the copy fails, the installed calendar's folder is answered and `problem` (when given)
// receives a French message saying why.
QString CalendarFolder(const QString& exeFolder, const QString& dataHome,
                       QString* problem = nullptr);
// The user's data folder: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
QString UserDataFolder();

// The path of filePath relative to baseFolder, both full paths in the Windows form (drive
// letters or \\server\share, backslashes). Drives of different names give filePath unchanged;
// otherwise "..\" for every base folder name past the shared ones, then the file's own folder
// names past the shared ones, then its name. Drives compare without regard to case; folder
// names compare as `folderCase` says.
QString RelativePath(const QString& baseFolder, const QString& filePath,
                     Qt::CaseSensitivity folderCase = Qt::CaseInsensitive);

// The stored form of a chosen native file: its path relative to the native base folder, with
// backslashes. The same as RelativePath on both paths written in the Windows form (no drive,
// "/" as "\"), except for two points. Folder names compare case-sensitively: on this file
// system two names that differ only in case are two folders, and a path made by ignoring case
// would lead to the wrong one (or to none). A colon is an ordinary character of a name here,
// not a drive. Raises Exception when the stored form would name another file: a name that
// holds a backslash.
QString StoredPath(const QString& baseFolder, const QString& nativeFile);

// The native path of a stored name: the name appended to the base folder, backslashes as
// "/". Files written on Windows may spell a name in another case than the disk does: a part
// of the path that does not exist is replaced by the one entry of its folder whose name
// differs from it in case only, when there is exactly one.
QString NativePath(const QString& baseFolder, const QString& storedName);

// The colour of a colour cell: 0 (black) for an empty cell, else the text read as a 32-bit
// integer (leading blanks, a sign, hexadecimal after "$", "x" or "0x"). Raises EConvertError
// "'%s' n'est pas une valeur entière correcte" for any other text.
TColor ColorCellValue(const QString& cell);
// The cell text of a colour: its value in decimal.
QString ColorCellText(TColor color);
// Platform colour value (red in the low byte, then green, then blue) to and from QColor. The
// top byte, which marks system and palette colours, is not a colour component and is dropped.
QColor ToQColor(TColor color);
TColor FromQColor(const QColor& color);
