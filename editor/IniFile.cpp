#include "editor/IniFile.h"

#include "platform/graphics/Exceptions.h"

#include <QFile>
#include <QSaveFile>
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
    bom_ = false;
    encoding_ = TEncoding::Windows1252;
    eol_ = "\r\n";
    sections_.emplace_back();
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
            }
        }
    }
    stamp_ = now;
    loaded_ = true;
}

void TIniFile::Parse(const QByteArray& bytes) {
    QByteArray content = bytes;
    if (content.startsWith("\xEF\xBB\xBF")) {
        bom_ = true;
        encoding_ = TEncoding::Utf8;
        content.remove(0, 3);
    } else if (!IsAscii(content) && IsValidUtf8(content)) {
        encoding_ = TEncoding::Utf8;
    }
    bool eolKnown = false;
    qsizetype start = 0;
    while (start < content.size()) {
        qsizetype end = content.indexOf('\n', start);
        TLine line;
        if (end < 0) {
            line.text = content.mid(start);
            start = content.size();
        } else {
            const bool crlf = end > start && content[end - 1] == '\r';
            line.text = content.mid(start, end - start - (crlf ? 1 : 0));
            line.eol = crlf ? QByteArray("\r\n") : QByteArray("\n");
            if (!eolKnown) {
                eol_ = line.eol;
                eolKnown = true;
            }
            start = end + 1;
        }
        const QString trimmed = Decode(line.text).trimmed();
        if (trimmed.startsWith(u'[')) {
            const qsizetype close = trimmed.lastIndexOf(u']');
            TSection section;
            section.name = (close > 0 ? trimmed.mid(1, close - 1) : trimmed.mid(1)).trimmed();
            section.header = std::move(line);
            sections_.push_back(std::move(section));
            IndexSection(static_cast<int>(sections_.size()) - 1);
        } else {
            ClassifyLine(line);
            sections_.back().lines.push_back(std::move(line));
        }
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
    return encoding_ == TEncoding::Utf8 ? QString::fromUtf8(bytes) : DecodeCp1252(bytes);
}

QByteArray TIniFile::Encode(const QString& text) const {
    if (encoding_ == TEncoding::Utf8) return text.toUtf8();
    QByteArray bytes(text.size(), Qt::Uninitialized);
    char* out = bytes.data();
    for (const QChar c : text) *out++ = static_cast<char>(Cp1252Byte(c));
    return bytes;
}

void TIniFile::MakeEncodable(const QString& text) {
    if (encoding_ == TEncoding::Utf8) return;
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return Cp1252Byte(c) >= 0; })) return;
    // The text needs UTF-8: convert the whole file, which loses nothing.
    for (TSection& section : sections_) {
        section.header.text = DecodeCp1252(section.header.text).toUtf8();
        for (TLine& line : section.lines) line.text = DecodeCp1252(line.text).toUtf8();
    }
    encoding_ = TEncoding::Utf8;
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
    line.text = Encode(key) + '=' + Encode(value);
    line.eol = eol_;
    line.isKey = true;
    line.key = key.trimmed();
    line.value = value.trimmed();
    return line;
}

void TIniFile::SetLineValue(TLine& line, const QString& value) const {
    // Keep the key and the spacing around the equals sign as they stand.
    qsizetype keep = line.text.indexOf('=') + 1;
    while (keep < line.text.size() && (line.text[keep] == ' ' || line.text[keep] == '\t')) ++keep;
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

int TIniFile::AppendSection(const QString& name) {
    for (auto it = sections_.rbegin(); it != sections_.rend(); ++it) {
        if (it->removed) continue;
        if (!it->lines.empty()) {
            EndPreviousLine(*it, it->lines.size());
            break;
        }
        if (it != std::prev(sections_.rend())) {
            EndPreviousLine(*it, 0);
            break;
        }
    }
    TSection section;
    section.name = name.trimmed();
    section.header.text = '[' + Encode(name) + ']';
    section.header.eol = eol_;
    sections_.push_back(std::move(section));
    const int index = static_cast<int>(sections_.size()) - 1;
    IndexSection(index);
    return index;
}

void TIniFile::CheckWritable() const {
    if (unreadable_) RaiseWriteError();
}

void TIniFile::RaiseWriteError() const {
    throw Exception(Format("Impossible d'écrire dans %s", fileName_.toUtf8().constData()));
}

void TIniFile::Save() {
    qsizetype size = bom_ ? 3 : 0;
    for (const TSection& section : sections_) {
        if (section.removed) continue;
        size += section.header.text.size() + section.header.eol.size();
        for (const TLine& line : section.lines) size += line.text.size() + line.eol.size();
    }
    QByteArray content;
    content.reserve(size);
    if (bom_) content.append("\xEF\xBB\xBF");
    for (size_t i = 0; i < sections_.size(); ++i) {
        const TSection& section = sections_[i];
        if (section.removed) continue;
        if (i > 0) content.append(section.header.text).append(section.header.eol);
        for (const TLine& line : section.lines) content.append(line.text).append(line.eol);
    }
    QSaveFile file(fileName_);
    bool written = file.open(QIODevice::WriteOnly);
    if (written) written = file.write(content) == content.size();
    if (written) {
        written = file.commit();
    } else if (file.isOpen()) {
        file.cancelWriting();
    }
    if (!written) {
        // The memory copy holds the refused change: read the file again next time.
        Invalidate();
        RaiseWriteError();
    }
    stamp_ = StampOf(fileName_);
}

void TIniFile::ListSections(QStringList& list) {
    list.clear();
    Refresh();
    for (size_t i = 1; i < sections_.size(); ++i) {
        const TSection& section = sections_[i];
        if (section.removed || section.name.isEmpty()) continue;
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
    const QString sectionLine = OneLine(section), keyLine = OneLine(key),
                  valueLine = OneLine(value);
    Refresh();
    CheckWritable();
    MakeEncodable(sectionLine + keyLine + valueLine);
    int index = FindSection(sectionLine);
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

void TIniFile::ReplaceSection(const QString& oldSection, const QString& newSection,
                              const std::vector<std::pair<QString, QString>>& values) {
    const QString newName = OneLine(newSection);
    QString all = newName;
    for (const auto& [key, value] : values) all += OneLine(key) + OneLine(value);
    Refresh();
    CheckWritable();
    MakeEncodable(all);
    const int oldIndex = oldSection.trimmed().isEmpty() ? -1 : FindSection(OneLine(oldSection));
    const int newIndex = FindSection(newName);
    bool changed = false;
    int target = newIndex;
    if (oldIndex >= 0 && (newIndex < 0 || newIndex == oldIndex)) {
        // Rename in place (a change of case included), so that the section keeps its position.
        target = oldIndex;
        TSection& section = sections_[oldIndex];
        if (section.name != newName.trimmed()) {
            UnindexSection(oldIndex);
            section.name = newName.trimmed();
            section.header.text = '[' + Encode(newName) + ']';
            IndexSection(oldIndex);
            changed = true;
        }
    } else {
        if (oldIndex >= 0) {
            RemoveSectionAt(oldIndex);
            changed = true;
        }
        if (target < 0) {
            target = AppendSection(newName);
            changed = true;
        }
    }
    for (const auto& [key, value] : values) {
        changed = SetValue(target, OneLine(key), OneLine(value)) || changed;
    }
    if (changed) Save();
}
