#include "editor/IniFile.h"

#include "editor/FileWrite.h"
#include "platform/graphics/Exceptions.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <sys/stat.h>

namespace {

// Larger files are not calendar files; they are treated as unreadable (and never overwritten).
constexpr int64_t kMaxFileSize = int64_t{256} << 20;

// Windows-1252 bytes 0x80 to 0x9F. The five bytes the code page leaves undefined map to the C1
// control of the same number, as Windows itself does, so that every byte survives a round trip.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsAscii(const QByteArray& bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

QString DecodeCp1252(const QByteArray& bytes) {
    if (IsAscii(bytes)) return QString::fromLatin1(bytes);
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *out++ = (b >= 0x80 && b < 0xA0) ? QChar(kCp1252High[b - 0x80]) : QChar(b);
    }
    return text;
}

// The Windows-1252 byte of a character, or -1 when the code page has none.
int Cp1252Byte(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return u;
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == u) return 0x80 + i;
    }
    return -1;
}

// Characters written into Windows-1252 files as the no-break space, which they only narrow.
QChar Cp1252Form(QChar c) {
    return c == QChar(0x202F) || c == QChar(0x2007) ? QChar(0x00A0) : c;
}

bool IsValidUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    return !decoder.hasError();
}

// Values and names are single lines: a line break would start a new line of the file.
QString OneLine(const QString& text) {
    QString line = text;
    for (QChar& c : line) {
        if (c == u'\r' || c == u'\n' || c == u'\0') c = u' ';
    }
    return line;
}

} // namespace

TIniFile::TIniFile(QString fileName) : fileName_(std::move(fileName)) {}

TIniFile::TStamp TIniFile::StampOf(const QString& fileName) {
    struct stat st {};
    TStamp stamp;
    if (::stat(QFile::encodeName(fileName).constData(), &st) != 0) return stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    stamp.ctimeNs = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
    return stamp;
}

void TIniFile::Refresh() {
    const TStamp now = StampOf(fileName_);
    if (loaded_ && now == stamp_) return;
    sections_.clear();
    index_.clear();
    unreadable_ = false;
    onDisk_.clear();
    sections_.emplace_back();
    // A file deleted meanwhile keeps the form it had, so that writing it back keeps that form.
    if (!(loaded_ && !now.exists)) {
        bom_ = false;
        encoding_ = TEncoding::Windows1252;
        eol_ = "\r\n";
        separated_ = false;
    }
    if (now.exists) {
        QFile file(fileName_);
        if (now.size > kMaxFileSize || !file.open(QIODevice::ReadOnly)) {
            unreadable_ = true;
        } else {
            const QByteArray bytes = file.readAll();
            if (file.error() != QFileDevice::NoError) {
                unreadable_ = true;
            } else {
                Parse(bytes);
                if (!unreadable_) onDisk_ = bytes;
            }
        }
    }
    if (unreadable_) {
        sections_.clear();
        index_.clear();
        sections_.emplace_back();
    }
    stamp_ = now;
    loaded_ = true;
}

int TIniFile::UnitSize() const {
    return encoding_ == TEncoding::Utf16LE || encoding_ == TEncoding::Utf16BE ? 2 : 1;
}

// The code unit at byte offset `at` (a multiple of the unit size, inside the bytes).
char16_t TIniFile::UnitAt(const QByteArray& bytes, qsizetype at) const {
    const auto byte = [&](qsizetype i) { return static_cast<char16_t>(uint8_t(bytes[i])); };
    switch (encoding_) {
    case TEncoding::Utf16LE:
        return byte(at) | static_cast<char16_t>(byte(at + 1) << 8);
    case TEncoding::Utf16BE:
        return static_cast<char16_t>(byte(at) << 8) | byte(at + 1);
    default:
        return byte(at);
    }
}

void TIniFile::Parse(const QByteArray& bytes) {
    qsizetype start = 0;
    bom_ = false;
    encoding_ = TEncoding::Windows1252;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        encoding_ = TEncoding::Utf8;
        start = 3;
    } else if (bytes.startsWith("\xFF\xFE")) {
        encoding_ = TEncoding::Utf16LE;
        start = 2;
    } else if (bytes.startsWith("\xFE\xFF")) {
        encoding_ = TEncoding::Utf16BE;
        start = 2;
    } else if (bytes.contains('\0')) {
        // UTF-16 without a mark: the zero bytes of its ASCII characters all stand on one side.
        bool evenZero = false, oddZero = false;
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\0') (i % 2 == 0 ? evenZero : oddZero) = true;
        }
        if (bytes.size() % 2 != 0 || evenZero == oddZero) {
            unreadable_ = true;
            return;
        }
        encoding_ = oddZero ? TEncoding::Utf16LE : TEncoding::Utf16BE;
    } else if (!IsAscii(bytes) && IsValidUtf8(bytes)) {
        encoding_ = TEncoding::Utf8;
    }
    bom_ = start > 0;
    sections_ = SplitSections(bytes, start);
    eol_ = Encode(QStringLiteral("\r\n"));
    separated_ = false;
    bool eolKnown = false;
    for (size_t i = 0; i < sections_.size(); ++i) {
        const TSection& section = sections_[i];
        if (!eolKnown && i > 0 && !section.header.eol.isEmpty()) {
            eol_ = section.header.eol;
            eolKnown = true;
        }
        for (const TLine& line : section.lines) {
            if (!eolKnown && !line.eol.isEmpty()) {
                eol_ = line.eol;
                eolKnown = true;
            }
        }
        if (i > 0 && !section.lines.empty() && !section.lines.back().isKey &&
            Decode(section.lines.back().text).trimmed().isEmpty()) {
            separated_ = true;
        }
    }
    Reindex();
}

std::vector<TIniFile::TSection> TIniFile::SplitSections(const QByteArray& bytes,
                                                        qsizetype start) const {
    std::vector<TSection> sections(1);
    const int unit = UnitSize();
    const qsizetype units = (bytes.size() - start) / unit;
    const qsizetype end = start + units * unit; // an odd last byte stays with the last line
    qsizetype lineStart = start;
    for (qsizetype at = start; at < end || lineStart < bytes.size(); at += unit) {
        const bool last = at >= end;
        if (!last && UnitAt(bytes, at) != u'\n') continue;
        TLine line;
        if (last) {
            line.text = bytes.mid(lineStart);
        } else {
            const bool crlf = at > lineStart && UnitAt(bytes, at - unit) == u'\r';
            const qsizetype textEnd = crlf ? at - unit : at;
            line.text = bytes.mid(lineStart, textEnd - lineStart);
            line.eol = bytes.mid(textEnd, at + unit - textEnd);
        }
        lineStart = last ? bytes.size() : at + unit;
        const QString trimmed = Decode(line.text).trimmed();
        if (trimmed.startsWith(u'[')) {
            // The name is what stands between the brackets, spaces included.
            const qsizetype close = trimmed.lastIndexOf(u']');
            TSection section;
            section.name = close > 0 ? trimmed.mid(1, close - 1) : trimmed.mid(1);
            section.header = std::move(line);
            sections.push_back(std::move(section));
        } else {
            ClassifyLine(line);
            sections.back().lines.push_back(std::move(line));
        }
        if (last) break;
    }
    return sections;
}

void TIniFile::Reindex() {
    index_.clear();
    for (size_t i = 1; i < sections_.size(); ++i) {
        if (!sections_[i].removed) IndexSection(static_cast<int>(i));
    }
}

void TIniFile::ClassifyLine(TLine& line) const {
    const QString text = Decode(line.text).trimmed();
    const qsizetype equals = text.indexOf(u'=');
    line.isKey = equals >= 0 && !text.startsWith(u';') && !text.startsWith(u'#');
    if (line.isKey) {
        line.key = text.left(equals).trimmed();
        line.value = text.mid(equals + 1).trimmed();
    }
}

QString TIniFile::Decode(const QByteArray& bytes) const {
    switch (encoding_) {
    case TEncoding::Windows1252:
        return DecodeCp1252(bytes);
    case TEncoding::Utf8:
        return QString::fromUtf8(bytes);
    case TEncoding::Utf16LE:
    case TEncoding::Utf16BE: {
        QString text(bytes.size() / 2, Qt::Uninitialized);
        for (qsizetype i = 0; i < text.size(); ++i) text[i] = QChar(UnitAt(bytes, 2 * i));
        if (bytes.size() % 2 != 0) text.append(QChar::ReplacementCharacter);
        return text;
    }
    }
    return {};
}

QByteArray TIniFile::Encode(const QString& text) const {
    switch (encoding_) {
    case TEncoding::Windows1252: {
        QByteArray bytes(text.size(), Qt::Uninitialized);
        char* out = bytes.data();
        for (const QChar c : text) *out++ = static_cast<char>(Cp1252Byte(Cp1252Form(c)));
        return bytes;
    }
    case TEncoding::Utf8:
        return text.toUtf8();
    case TEncoding::Utf16LE:
    case TEncoding::Utf16BE: {
        const bool little = encoding_ == TEncoding::Utf16LE;
        QByteArray bytes(text.size() * 2, Qt::Uninitialized);
        char* out = bytes.data();
        for (const QChar c : text) {
            const char16_t u = c.unicode();
            const auto high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
            *out++ = little ? low : high;
            *out++ = little ? high : low;
        }
        return bytes;
    }
    }
    return {};
}

QString TIniFile::Storable(const QString& text) const {
    const char* encoding = "Windows-1252";
    switch (encoding_) {
    case TEncoding::Windows1252:
        break;
    case TEncoding::Utf8:
        encoding = "UTF-8";
        break;
    case TEncoding::Utf16LE:
        encoding = "UTF-16 little-endian";
        break;
    case TEncoding::Utf16BE:
        encoding = "UTF-16 big-endian";
        break;
    }
    QString stored = text;
    for (qsizetype i = 0; i < stored.size(); ++i) {
        const QChar c = stored[i];
        const bool pair =
            c.isHighSurrogate() && i + 1 < stored.size() && stored[i + 1].isLowSurrogate();
        bool fits = !c.isSurrogate() || pair;
        if (encoding_ == TEncoding::Windows1252) {
            stored[i] = Cp1252Form(c);
            fits = Cp1252Byte(stored[i]) >= 0;
        }
        if (!fits) {
            const char32_t code = pair ? QChar::surrogateToUcs4(c, stored[i + 1]) : c.unicode();
            const QString shown =
                c.isSurrogate() && !pair ? QString() : stored.mid(i, pair ? 2 : 1);
            throw Exception(Format(
                "Le caractère «\u00A0%s\u00A0» (U+%04X) ne peut pas être enregistré dans %s, dont "
                "le "
                "codage est %s : la ligne n'est pas enregistrée et le fichier reste tel qu'il "
                "était.",
                shown.toUtf8().constData(), static_cast<unsigned>(code),
                fileName_.toUtf8().constData(), encoding));
        }
        if (pair) ++i;
    }
    return stored;
}

void TIniFile::CheckName(const QString& name, int ownIndex) const {
    const bool own = ownIndex >= 0 && FoldName(sections_[ownIndex].name) == FoldName(name);
    if (name.trimmed().isEmpty() && !own) {
        throw Exception(Format("Le nom d'une ligne ne peut pas être vide ni fait d'espaces "
                               "seulement : la ligne n'est pas enregistrée dans %s.",
                               fileName_.toUtf8().constData()));
    }
}

int TIniFile::FindSection(const QString& name) const {
    const auto it = index_.constFind(FoldName(name));
    return it == index_.constEnd() || it->empty() ? -1 : it->front();
}

void TIniFile::IndexSection(int index) {
    std::vector<int>& list = index_[FoldName(sections_[index].name)];
    list.insert(std::lower_bound(list.begin(), list.end(), index), index);
}

void TIniFile::UnindexSection(int index) {
    const auto it = index_.find(FoldName(sections_[index].name));
    if (it == index_.end()) return;
    std::erase(*it, index);
    if (it->empty()) index_.erase(it);
}

void TIniFile::RemoveSectionAt(int index) {
    UnindexSection(index);
    sections_[index].removed = true;
    sections_[index].lines.clear();
}

// Gives the line before position `index` of the section a line end, so that a line can follow.
void TIniFile::EndPreviousLine(TSection& section, size_t index) {
    TLine& previous = index > 0 ? section.lines[index - 1] : section.header;
    if (previous.eol.isEmpty() && !previous.text.isEmpty()) previous.eol = eol_;
}

TIniFile::TLine TIniFile::MakeKeyLine(const QString& key, const QString& value) const {
    TLine line;
    line.text = Encode(key + u'=' + value);
    line.eol = eol_;
    line.isKey = true;
    line.key = key.trimmed();
    line.value = value.trimmed();
    return line;
}

void TIniFile::SetLineValue(TLine& line, const QString& value) const {
    // Keep the key and the spacing around the equals sign as they stand, byte for byte.
    const int unit = UnitSize();
    qsizetype keep = 0;
    while (keep + unit <= line.text.size() && UnitAt(line.text, keep) != u'=') keep += unit;
    keep += unit;
    while (keep + unit <= line.text.size() &&
           (UnitAt(line.text, keep) == u' ' || UnitAt(line.text, keep) == u'\t')) {
        keep += unit;
    }
    line.text = line.text.left(keep) + Encode(value);
    line.value = value.trimmed();
}

bool TIniFile::SetValue(int section, const QString& key, const QString& value) {
    TSection& target = sections_[section];
    const QString name = key.trimmed();
    for (TLine& line : target.lines) {
        if (line.isKey && line.key.compare(name, Qt::CaseInsensitive) == 0) {
            if (line.value == value.trimmed()) return false;
            SetLineValue(line, value);
            return true;
        }
    }
    size_t position = 0;
    for (size_t i = 0; i < target.lines.size(); ++i) {
        if (target.lines[i].isKey) position = i + 1;
    }
    EndPreviousLine(target, position);
    target.lines.insert(target.lines.begin() + static_cast<std::ptrdiff_t>(position),
                        MakeKeyLine(key, value));
    return true;
}

void TIniFile::PrepareAppend() {
    for (auto it = sections_.rbegin(); it != sections_.rend(); ++it) {
        if (it->removed) continue;
        const bool preamble = it == std::prev(sections_.rend());
        if (it->lines.empty()) {
            if (!preamble) EndPreviousLine(*it, 0);
        } else {
            EndPreviousLine(*it, it->lines.size());
        }
        if (separated_ && !preamble &&
            (it->lines.empty() || it->lines.back().isKey ||
             !Decode(it->lines.back().text).trimmed().isEmpty())) {
            TLine blank;
            blank.eol = eol_;
            it->lines.push_back(std::move(blank));
        }
        return;
    }
}

int TIniFile::AppendSection(const QString& name) {
    PrepareAppend();
    TSection section;
    section.name = name;
    section.header.text = Encode(u'[' + name + u']');
    section.header.eol = eol_;
    sections_.push_back(std::move(section));
    const int index = static_cast<int>(sections_.size()) - 1;
    IndexSection(index);
    return index;
}

int TIniFile::PositionOf(int index) const {
    int position = 0;
    for (int i = 1; i < index; ++i) {
        if (!sections_[i].removed) ++position;
    }
    return position;
}

int TIniFile::LiveIndexAt(int position) const {
    for (size_t i = 1; i < sections_.size(); ++i) {
        if (sections_[i].removed) continue;
        if (position-- == 0) return static_cast<int>(i);
    }
    return -1;
}

QByteArray TIniFile::SectionBytes(const TSection& section) const {
    QByteArray bytes = section.header.text + section.header.eol;
    for (const TLine& line : section.lines) bytes += line.text + line.eol;
    return bytes;
}

void TIniFile::CheckWritable() const {
    if (unreadable_) RaiseWriteError();
}

void TIniFile::RaiseWriteError() const {
    throw Exception(Format("Impossible d'écrire dans %s", fileName_.toUtf8().constData()));
}

void TIniFile::Save() {
    const QByteArray bom = bom_ ? Encode(QString(QChar(0xFEFF))) : QByteArray();
    qsizetype size = bom.size();
    for (const TSection& section : sections_) {
        if (section.removed) continue;
        size += section.header.text.size() + section.header.eol.size();
        for (const TLine& line : section.lines) size += line.text.size() + line.eol.size();
    }
    QByteArray content;
    content.reserve(size);
    content.append(bom);
    for (size_t i = 0; i < sections_.size(); ++i) {
        const TSection& section = sections_[i];
        if (section.removed) continue;
        if (i > 0) content.append(section.header.text).append(section.header.eol);
        for (const TLine& line : section.lines) content.append(line.text).append(line.eol);
    }
    if (!WriteWholeFile(fileName_, content, onDisk_)) {
        // The memory copy holds the refused change: read the file again next time.
        Invalidate();
        RaiseWriteError();
    }
    onDisk_ = content;
    stamp_ = StampOf(fileName_);
}

void TIniFile::ListSections(QStringList& list) {
    list.clear();
    Refresh();
    for (size_t i = 1; i < sections_.size(); ++i) {
        const TSection& section = sections_[i];
        if (section.removed) continue;
        if (FindSection(section.name) == static_cast<int>(i)) list.append(section.name);
    }
}

QString TIniFile::ReadValue(const QString& section, const QString& key,
                            const QString& defaultValue) {
    Refresh();
    const int index = FindSection(section);
    if (index < 0) return defaultValue;
    const QString name = key.trimmed();
    for (const TLine& line : sections_[index].lines) {
        if (line.isKey && line.key.compare(name, Qt::CaseInsensitive) == 0) return line.value;
    }
    return defaultValue;
}

std::vector<QStringList> TIniFile::ReadValues(const QStringList& sections, const QStringList& keys,
                                              const QString& defaultValue) {
    Refresh();
    std::vector<QStringList> table;
    table.reserve(sections.size());
    QStringList trimmedKeys;
    for (const QString& key : keys) trimmedKeys.append(key.trimmed());
    for (const QString& section : sections) {
        QStringList values(keys.size(), defaultValue);
        std::vector<bool> found(keys.size(), false);
        if (const int index = FindSection(section); index >= 0) {
            for (const TLine& line : sections_[index].lines) {
                if (!line.isKey) continue;
                for (qsizetype k = 0; k < trimmedKeys.size(); ++k) {
                    if (!found[k] && line.key.compare(trimmedKeys[k], Qt::CaseInsensitive) == 0) {
                        values[k] = line.value;
                        found[k] = true;
                    }
                }
            }
        }
        table.push_back(std::move(values));
    }
    return table;
}

void TIniFile::WriteValue(const QString& section, const QString& key, const QString& value) {
    Refresh();
    CheckWritable();
    const QString sectionLine = Storable(OneLine(section)), keyLine = Storable(OneLine(key)),
                  valueLine = Storable(OneLine(value));
    int index = FindSection(sectionLine);
    CheckName(sectionLine, index);
    bool changed = false;
    if (index < 0) {
        index = AppendSection(sectionLine);
        changed = true;
    }
    changed = SetValue(index, keyLine, valueLine) || changed;
    if (changed) Save();
}

void TIniFile::RemoveSection(const QString& section) {
    Refresh();
    const int index = FindSection(OneLine(section));
    if (index < 0) return;
    CheckWritable();
    RemoveSectionAt(index);
    Save();
}

void TIniFile::ReplaceSection(const std::optional<QString>& oldSection, const QString& newSection,
                              const std::vector<std::pair<QString, QString>>& values,
                              const std::vector<std::pair<QString, QString>>& missing) {
    Refresh();
    CheckWritable();
    // Everything is checked before the memory copy changes: a refusal leaves it as the file.
    const QString newName = Storable(OneLine(newSection));
    auto storable = [this](const std::vector<std::pair<QString, QString>>& pairs) {
        std::vector<std::pair<QString, QString>> lines;
        lines.reserve(pairs.size());
        for (const auto& [key, value] : pairs) {
            lines.emplace_back(Storable(OneLine(key)), Storable(OneLine(value)));
        }
        return lines;
    };
    const auto valueLines = storable(values);
    const auto missingLines = storable(missing);
    const int oldIndex = oldSection ? FindSection(OneLine(*oldSection)) : -1;
    CheckName(newName, oldIndex);
    const int newIndex = FindSection(newName);
    if (newIndex >= 0 && newIndex != oldIndex) {
        throw Exception(
            Format("Une autre ligne de %s porte déjà le nom «\u00A0%s\u00A0» : la ligne "
                   "n'est pas enregistrée.",
                   fileName_.toUtf8().constData(), newName.toUtf8().constData()));
    }
    bool changed = false;
    int target = oldIndex;
    if (target >= 0) {
        // Rename in place (a change of case included), so that the section keeps its position.
        TSection& section = sections_[target];
        if (section.name != newName) {
            UnindexSection(target);
            section.name = newName;
            section.header.text = Encode(u'[' + newName + u']');
            IndexSection(target);
            changed = true;
        }
    } else {
        target = AppendSection(newName);
        changed = true;
    }
    for (const auto& [key, value] : valueLines) changed = SetValue(target, key, value) || changed;
    for (const auto& [key, value] : missingLines) {
        const QString name = key.trimmed();
        const auto& lines = sections_[target].lines;
        const bool present = std::any_of(lines.begin(), lines.end(), [&](const TLine& line) {
            return line.isKey && line.key.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (!present) changed = SetValue(target, key, value) || changed;
    }
    if (changed) Save();
}

bool TIniFile::Exists() {
    Refresh();
    return stamp_.exists;
}

QByteArray TIniFile::Content() {
    Refresh();
    return onDisk_;
}

void TIniFile::WriteSections(const std::vector<std::pair<QString, TValues>>& sections) {
    Refresh();
    CheckWritable();
    for (size_t i = 1; i < sections_.size(); ++i) {
        if (!sections_[i].removed) {
            throw Exception(Format("%s contient déjà des lignes : le tableau n'y est pas écrit.",
                                   fileName_.toUtf8().constData()));
        }
    }
    // Checked whole before anything changes, so that a refusal leaves the memory copy as is.
    std::vector<std::pair<QString, TValues>> lines;
    QHash<QString, bool> names;
    for (const auto& [name, values] : sections) {
        const QString stored = Storable(OneLine(name));
        CheckName(stored, -1);
        if (names.contains(FoldName(stored))) {
            throw Exception(
                Format("Deux lignes du tableau portent le nom «\u00A0%s\u00A0» : %s n'est pas "
                       "écrit.",
                       stored.toUtf8().constData(), fileName_.toUtf8().constData()));
        }
        names.insert(FoldName(stored), true);
        TValues storedValues;
        for (const auto& [key, value] : values) {
            storedValues.emplace_back(Storable(OneLine(key)), Storable(OneLine(value)));
        }
        lines.emplace_back(stored, std::move(storedValues));
    }
    for (const auto& [name, values] : lines) {
        const int index = AppendSection(name);
        for (const auto& [key, value] : values) SetValue(index, key, value);
    }
    Save();
}

TIniFile::TSectionState TIniFile::SectionState(const QString& name) {
    Refresh();
    TSectionState state;
    state.name = name;
    const int index = FindSection(OneLine(name));
    if (index < 0) return state;
    state.present = true;
    state.name = sections_[index].name;
    state.bytes = SectionBytes(sections_[index]);
    state.position = PositionOf(index);
    state.encoding = static_cast<int>(encoding_);
    return state;
}

void TIniFile::RestoreSection(const std::optional<QString>& current, const TSectionState& state) {
    Refresh();
    CheckWritable();
    const int target = current ? FindSection(OneLine(*current)) : -1;
    if (!state.present) {
        if (target < 0) return;
        RemoveSectionAt(target);
        Save();
        return;
    }
    if (state.encoding != static_cast<int>(encoding_)) {
        throw Exception(Format("Le codage de %s a changé depuis : la ligne «\u00A0%s\u00A0» n'est "
                               "pas rétablie.",
                               fileName_.toUtf8().constData(), state.name.toUtf8().constData()));
    }
    const int other = FindSection(state.name);
    if (other >= 0 && other != target) {
        throw Exception(
            Format("Une autre ligne de %s porte déjà le nom «\u00A0%s\u00A0» : la ligne n'est pas "
                   "rétablie.",
                   fileName_.toUtf8().constData(), state.name.toUtf8().constData()));
    }
    std::vector<TSection> parsed = SplitSections(state.bytes, 0);
    if (parsed.size() != 2) return;
    TSection restored = std::move(parsed[1]);
    if (target >= 0) {
        // Where the section stands now, with the line end its place needs.
        const TSection& old = sections_[target];
        const bool hadEnd =
            old.lines.empty() ? !old.header.eol.isEmpty() : !old.lines.back().eol.isEmpty();
        if (hadEnd) EndPreviousLine(restored, restored.lines.size());
        UnindexSection(target);
        sections_[target] = std::move(restored);
        IndexSection(target);
    } else {
        const int before = LiveIndexAt(state.position);
        if (before < 0) {
            PrepareAppend();
            sections_.push_back(std::move(restored));
        } else {
            EndPreviousLine(restored, restored.lines.size());
            sections_.insert(sections_.begin() + before, std::move(restored));
        }
        Reindex();
    }
    Save();
}

bool TIniFile::ReplaceContent(const QByteArray& expected, const QByteArray& bytes) {
    Refresh();
    if (!stamp_.exists || unreadable_ || onDisk_ != expected) return false;
    if (!WriteWholeFile(fileName_, bytes, onDisk_)) {
        Invalidate();
        RaiseWriteError();
    }
    // Read again at the next operation, as the file now stands.
    Invalidate();
    return true;
}
