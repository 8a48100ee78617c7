// The three kinds of calendar files as the table shows them: edit modes, keys and headings of
// each column, the numeric reading of section names and the order in which sections are shown.
#pragma once

#include <QString>
#include <QStringList>

#include <array>

// Which kind of file the table shows.
enum TEditMode { emScale = 0, emEvent = 1, emData = 2 };

// Number of columns of the calendar table; column 0 holds the section name.
constexpr int kTableColumns = 13;

// Keys of columns 1 and up, in column order, for each kind of file.
extern const std::array<QString, 12> ScaleKeys;
extern const std::array<QString, 2> DataKeys;
extern const QString EventKey;

// The keys of a mode in column order (column 1 + k holds key k).
QStringList ModeKeys(TEditMode mode);
// The headings of row 0 for a mode, from column 0; columns beyond them stay empty.
QStringList ModeHeadings(TEditMode mode);

// Reads a number: leading spaces, an optional sign, digits, optionally a point and digits,
// optionally an exponent (E or e, optional sign, at least one digit), nothing after. The part
// after the sign must not be empty ("." alone is 0). Answers true with the value, or false with
// the 1-based position of the first character that does not fit (the length plus one when the
// text ends too early). Independent of the user's locale.
bool TextToFloat(const QString& text, double& value, int& errorPosition);

// The numeric value of a section name, a decimal comma standing for the point; -1 when the name
// is no number.
double KeyValue(const QString& text);

// Puts section names in rising order of KeyValue by the calendar's exchange procedure: for each
// position i, each earlier position j in rising order is exchanged with i when its value is
// strictly greater. Names of equal value can pass each other (1, 3a, 3b, 2 gives 1, 2, 3b, 3a);
// the stored files and the calendar's other programs rely on this order. Each name's value is
// computed once.
void SortSections(QStringList& names);
