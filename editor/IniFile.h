// TIniFile: one profile (INI) file of the calendar, addressed by its full path.
//
// Matching follows what users of such files expect: section and key names compare without regard
// to case, spaces around key names and values are ignored, and the first matching section and key
// win. A section's name is what stands between its brackets, spaces included, so that "[ 12]",
// "[12]" and "[12 ]" are three sections, each listed and reached under its own name. The file is
// held in memory and read again whenever it changed on disk since the last operation, so that edits
// made meanwhile by another program are seen and not overwritten.
//
// Everything the operations do not change is kept as it stands, byte for byte: comments, blank
// lines, other keys and their order, spacing, line endings (CRLF or LF) and the text encoding.
// A file keeps its encoding, which is read from the file:
//   - UTF-8 with a byte-order mark, UTF-16 little- or big-endian with a byte-order mark;
//   - UTF-16 without a mark, recognised by the zero bytes of its characters;
//   - UTF-8 without a mark when the file is valid UTF-8 beyond plain ASCII;
//   - Windows-1252 otherwise, and for every new file, with CRLF line endings, because the
//     calendar's other programs are Windows programs that read profile files in the ANSI code
//     page.
// A file with zero bytes that is not UTF-16 is not a profile file: it is read as empty and
// never written.
//
// A write whose text the file's encoding cannot hold is refused as a whole with a message that
// names the character and the encoding; nothing is written. Into Windows-1252 files two
// characters are written as the no-break space U+00A0, which they only narrow: the narrow
// no-break space U+202F (which word processors put before French punctuation) and the figure
// space U+2007. No other character is changed.
//
// No section is given a name that is empty or only spaces (a section that has one keeps it), and
// a section is never renamed onto another section: both are refused. New sections follow a blank
// line when the file's sections are separated by blank lines.
//
// Every write gives the file its whole new content at once (see WriteWholeFile): a temporary
// file renamed over the old one where the folder allows it and nothing is lost that way, or
// else the file written in place. A refused write raises an Exception with a French message
// ("Impossible d'écrire dans <full path>" when the disk refuses it) and leaves the file as it
// was.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

class TIniFile {
public:
    // Reads and writes nothing; the file need not exist.
    explicit TIniFile(QString fileName);

    const QString& FileName() const { return fileName_; }

    // Clears the list, then adds every section name in file order, each name once (a repeated
    // section is reached through its first occurrence), an empty name included. A missing or
    // unreadable file gives an empty list.
    void ListSections(QStringList& list);
    // The key's value in the section, or the default when the file, section or key is missing.
    QString ReadValue(const QString& section, const QString& key, const QString& defaultValue);
    // The values of `keys` in each of `sections`, all read from one state of the file: entry i
    // holds section i's values in key order, the default for those missing.
    std::vector<QStringList> ReadValues(const QStringList& sections, const QStringList& keys,
                                        const QString& defaultValue);
    // Creates the file, the section (after the existing ones) and the key as needed, or replaces
    // the key's value; an empty value is written too.
    void WriteValue(const QString& section, const QString& key, const QString& value);
    // Removes the first section of that name with all its lines; a missing section is no error.
    void RemoveSection(const QString& section);
    // In one write: renames the section oldSection to newSection, which keeps its place in the
    // file and its lines (other keys, comments), and sets the values; `missing` are keys written
    // only where the section does not have them. No oldSection, or one the file does not hold,
    // makes a new section. Refuses (raising, nothing written) a newSection that names another
    // section than oldSection, or that is empty or only spaces unless it is oldSection's own.
    void ReplaceSection(const std::optional<QString>& oldSection, const QString& newSection,
                        const std::vector<std::pair<QString, QString>>& values,
                        const std::vector<std::pair<QString, QString>>& missing = {});

    // Whether the file exists, and its bytes as they are on disk now (empty when it is missing
    // or unreadable).
    bool Exists();
    QByteArray Content();

    // Writes a file that holds no section yet (a missing or empty one, which keeps the encoding
    // and line ends it had): the sections in the order given, each with its values, in one
    // write. Refuses (raising, nothing written) when the file holds sections or a name is
    // refused as in ReplaceSection.
    using TValues = std::vector<std::pair<QString, QString>>;
    void WriteSections(const std::vector<std::pair<QString, TValues>>& sections);

    // A section as it stands in the file: its header and lines, byte for byte, and its place
    // among the sections. `present` is false for a section the file does not hold.
    struct TSectionState {
        bool present = false;
        QString name;
        QByteArray bytes;
        int position = 0;
        int encoding = -1;
        bool operator==(const TSectionState&) const = default;
    };
    TSectionState SectionState(const QString& name);
    // Puts a section back as `state` holds it, in one write: the section now named `current`
    // (if any) is replaced by it where it stands, or removed when `state` is not present; without
    // `current`, the section is put back at its old place. Refuses (raising, nothing written)
    // when its name is another section's, when `state` was taken in another encoding, or when
    // the file is unreadable.
    void RestoreSection(const std::optional<QString>& current, const TSectionState& state);
    // Gives the file the content `bytes` in one write if it holds `expected` now, and answers
    // whether it did. Raises when the disk refuses the write.
    bool ReplaceContent(const QByteArray& expected, const QByteArray& bytes);

private:
    enum class TEncoding { Windows1252, Utf8, Utf16LE, Utf16BE };
    struct TLine {
        QByteArray text; // raw bytes without the line end
        QByteArray eol;  // "\r\n", "\n" or empty for a last line without one
        bool isKey = false;
        QString key;   // trimmed key name of a key line
        QString value; // trimmed value of a key line
    };
    struct TSection {
        bool removed = false;
        TLine header; // the "[name]" line; unused for the lines before the first section
        QString name; // trimmed
        std::vector<TLine> lines;
    };
    struct TStamp {
        bool exists = false;
        uint64_t device = 0, inode = 0;
        int64_t size = -1, mtimeNs = 0, ctimeNs = 0;
        bool operator==(const TStamp&) const = default;
    };

    void Refresh();
    void Parse(const QByteArray& bytes);
    // Gives the section that ends the file a last line that a new section can follow: a line
    // end, and a blank line where the file separates its sections so.
    void PrepareAppend();
    // The sections of `bytes` from byte `start` on (entry 0: the lines before the first one).
    std::vector<TSection> SplitSections(const QByteArray& bytes, qsizetype start) const;
    QByteArray SectionBytes(const TSection& section) const;
    void Invalidate() { loaded_ = false; }
    void Reindex();
    void CheckWritable() const;
    void Save();
    [[noreturn]] void RaiseWriteError() const;

    static TStamp StampOf(const QString& fileName);
    static QString FoldName(const QString& name) { return name.toCaseFolded(); }

    QString Decode(const QByteArray& bytes) const;
    QByteArray Encode(const QString& text) const;
    // The text as the file stores it (the Windows-1252 mappings); raises when the file's
    // encoding cannot hold one of its characters.
    QString Storable(const QString& text) const;
    void CheckName(const QString& name, int ownIndex) const;
    int UnitSize() const;
    char16_t UnitAt(const QByteArray& bytes, qsizetype at) const;
    void ClassifyLine(TLine& line) const;
    TLine MakeKeyLine(const QString& key, const QString& value) const;
    void SetLineValue(TLine& line, const QString& value) const;
    void EndPreviousLine(TSection& section, size_t index);

    int FindSection(const QString& name) const;
    void IndexSection(int index);
    void UnindexSection(int index);
    void RemoveSectionAt(int index);
    bool SetValue(int section, const QString& key, const QString& value);
    int AppendSection(const QString& name);
    // The live section index of the n-th live section (clamped: past the end gives the count).
    int LiveIndexAt(int position) const;
    int PositionOf(int index) const;

    QString fileName_;
    bool loaded_ = false;
    bool unreadable_ = false; // exists but could not be read: never overwrite it
    TStamp stamp_;
    TEncoding encoding_ = TEncoding::Windows1252;
    bool bom_ = false;
    QByteArray eol_ = "\r\n";
    bool separated_ = false;                 // sections are separated by blank lines
    QByteArray onDisk_;                      // the bytes last read or written
    std::vector<TSection> sections_;         // sections_[0]: the lines before the first section
    QHash<QString, std::vector<int>> index_; // folded name -> live sections in file order
};
