#include "editor/EditU1.h"

#include "platform/graphics/Exceptions.h"
#include "platform/ui/Application.h"
#include "platform/ui/Panel.h"
#include "platform/ui/StringGrid.h"

#include <QGuiApplication>
#include <QHash>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

constexpr int kColourColumn = 6;

// The window's font is "MS Sans Serif" at 11 pixels, which the layout was drawn for. Where that
// font is missing, fonts of its widths stand in for it, so that the designed columns show
// what they were drawn to show (DejaVu Sans, the usual fallback, is much wider).
void SubstituteDesignFont() {
    static const bool done = [] {
        QFont::insertSubstitutions(
            QStringLiteral("MS Sans Serif"),
            {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial")});
        return true;
    }();
    static_cast<void>(done);
}

} // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Chronolith"));
    SubstituteDesignFont();
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);

    Panel1 = new TPanel(this, 1, 10);
    setCentralWidget(Panel1);
    auto* layout = new QVBoxLayout(Panel1);
    layout->setContentsMargins(0, 0, 0, 0);

    StringGrid1 = new TStringGrid(Panel1);
    layout->addWidget(StringGrid1);
    StringGrid1->SetColCount(kTableColumns);
    StringGrid1->SetRowCount(1);
    StringGrid1->SetFixedRows(0);
    StringGrid1->SetHint(QStringLiteral("Clic droit pour éditer"));
    StringGrid1->OnKeyDown = [this](int key, Qt::KeyboardModifiers shift) {
        StringGrid1KeyDown(key, shift);
    };
    StringGrid1->OnKeyPress = [this](QChar& key) { StringGrid1KeyPress(key); };
    StringGrid1->OnSetEditText = [this](int col, int row, const QString& value) {
        StringGrid1SetEditText(col, row, value);
    };
    StringGrid1->OnSelectCell = [this](int col, int row, bool& canSelect) {
        StringGrid1SelectCell(col, row, canSelect);
    };
    StringGrid1->OnCellColour = [this](int col, int row, QColor& colour) {
        return CellColour(col, row, colour);
    };
    StringGrid1->OnUndo = [this] { Undo(); };
    // When the rows come to need a vertical scroll bar, or no longer do, the columns follow.
    connect(StringGrid1->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] {
        if (StringGrid1->ClientWidth() != LaidOutWidth) FormResize();
    });
    StringGrid1->OnPaste = [this](const QString& block) { PasteBlock(block); };

    CreateMenus();
    CreateDialogs();

    // The designed client area: panel 992 x 654 below the menu bar, in the middle of the screen.
    resize(992, 654 + menuBar()->sizeHint().height());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move(available.center() - rect().center());
    }
    FormCreate();
}

TForm1::~TForm1() {
    // The grid outlives this part of the window (Qt frees the children later) and may still be
    // asked to paint: it must not call back into a window being destroyed.
    StringGrid1->OnKeyDown = nullptr;
    StringGrid1->OnKeyPress = nullptr;
    StringGrid1->OnSetEditText = nullptr;
    StringGrid1->OnSelectCell = nullptr;
    StringGrid1->OnCellColour = nullptr;
    StringGrid1->OnUndo = nullptr;
    StringGrid1->OnPaste = nullptr;
}

void TForm1::FormCreate() {
    SelectedKey.clear();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TForm1::FormResize() {
    TStringGrid& grid = *StringGrid1;
    const int width = grid.width();
    // What the columns can take without a horizontal scroll bar: the designed layout's sums
    // count the grid's whole width, which a vertical scroll bar narrows.
    const int room = grid.ClientWidth();
    LaidOutWidth = room;
    // A designed width, or more where the table's longest text needs it (up to a quarter of
    // the grid, so that a very long name cannot push every other column out).
    auto atLeast = [width](int designed, int fit) {
        return std::max(designed, std::min(fit, width / 4));
    };
    // Nor is a column narrower than its heading: the columns after it give up the room.
    auto set = [&grid](int col, int width) {
        grid.SetColWidths(col, width > 0 ? std::max(width, grid.HeadingFitWidth(col)) : 0);
    };
    switch (EditMode) {
    case emScale: {
        set(0, atLeast(40, KeyFitWidth));
        for (int col = 1; col <= 5; ++col) set(col, 80);
        set(kColourColumn, atLeast(40, ColourFitWidth));
        set(7, 80);
        set(10, 80);
        int rest = width;
        for (int col = 0; col <= 7; ++col) rest -= grid.ColWidths(col);
        rest -= grid.ColWidths(10);
        const int paths[] = {8, 9, 11, 12};
        for (const int col : paths) set(col, rest / 4 - 10);
        // Headings wider than the designed share, or a vertical scroll bar, can make the
        // columns overflow: the path columns then give back what they have beyond their
        // headings, the widest first, rather than show a horizontal scroll bar.
        int excess = -room;
        for (int col = 0; col < kTableColumns; ++col) excess += grid.ColWidths(col);
        while (excess > 0) {
            int widest = -1, slack = 0;
            for (const int col : paths) {
                const int spare = grid.ColWidths(col) - grid.HeadingFitWidth(col);
                if (grid.ColWidths(col) > 0 && spare > slack) {
                    widest = col;
                    slack = spare;
                }
            }
            if (widest < 0) break;
            grid.SetColWidths(widest, grid.ColWidths(widest) - 1);
            --excess;
        }
        break;
    }
    case emEvent:
        set(0, atLeast(60, KeyFitWidth));
        set(1, std::min(width - 6, room) - grid.ColWidths(0));
        for (int col = 2; col < kTableColumns; ++col) set(col, 0);
        break;
    case emData:
        set(0, atLeast(100, KeyFitWidth));
        set(1, (std::min(width - 6, room) - grid.ColWidths(0)) / 2);
        set(2, (std::min(width - 6, room) - grid.ColWidths(0)) / 2);
        for (int col = 3; col < kTableColumns; ++col) set(col, 0);
        break;
    }
    // Paths show their file name, which tells one path from another, before their folders.
    for (int col = 0; col < kTableColumns; ++col) {
        const bool path = EditMode == emScale ? (col == 8 || col == 9 || col == 11 || col == 12)
                                              : (EditMode == emData && (col == 1 || col == 2));
        grid.SetColElide(col, path ? Qt::ElideMiddle : Qt::ElideRight);
    }
}

TIniFile* TForm1::CurrentFile() const {
    switch (EditMode) {
    case emScale:
        return ScaleFile.get();
    case emEvent:
        return EventFile.get();
    case emData:
        return DataFile.get();
    }
    return nullptr;
}

void TForm1::LoadTable(TIniFile* file) {
    TStringGrid& grid = *StringGrid1;
    ++TableGeneration;
    {
        const TGridUpdate update(grid);
        // The rows being emptied hold nothing of the file any more.
        StoredRows.clear();
        for (int row = 0; row < grid.RowCount(); ++row) grid.ClearRow(row);
        grid.SetRowCount(2);
        grid.SetFixedRows(1);

        // The file's state is taken first: a change made after it shows at the next save.
        TableFileExists = file != nullptr && file->Exists();
        TableFileBytes = file != nullptr ? file->Content() : QByteArray();
        ListBox1.clear();
        if (file != nullptr) file->ListSections(ListBox1);
        SortSections(ListBox1);

        if (file == ScaleFile.get()) {
            EditMode = emScale;
        } else if (file == EventFile.get()) {
            EditMode = emEvent;
        } else if (file == DataFile.get()) {
            EditMode = emData;
        }
        const QStringList headings = ModeHeadings(EditMode);
        for (int col = 0; col < headings.size(); ++col) grid.SetCells(col, 0, headings[col]);

        // The rows are made at once rather than one per name: the table ends the same.
        grid.SetRowCount(std::max<int>(2, static_cast<int>(ListBox1.size()) + 1));
        // All values come from one state of the file, even if another program writes it.
        const QStringList keys = ModeKeys(EditMode);
        const std::vector<QStringList> values = file != nullptr
                                                    ? file->ReadValues(ListBox1, keys, QString())
                                                    : std::vector<QStringList>();
        StoredRows.assign(1, TStoredRow{});
        for (int row = 1; row < grid.RowCount(); ++row) StoredRows.push_back(NewRow());
        for (int i = 0; i < ListBox1.size(); ++i) {
            grid.SetCells(0, i + 1, ListBox1[i]);
            for (int k = 0; k < keys.size(); ++k) grid.SetCells(k + 1, i + 1, values[i][k]);
            TStoredRow& stored = StoredRows[static_cast<size_t>(i) + 1];
            stored.inFile = true;
            stored.section = ListBox1[i];
            stored.cells = values[i];
        }
    }
    MeasureFitWidths();
    FormResize();
    SelectedKey = StoredRow(1).section;
    // A save pending from before the load writes the current row, whose key SelectedKey now
    // holds, never a row number of the table shown before.
    EditRow = grid.Row();
}

void TForm1::ReloadTable(int dropId) {
    TIniFile* file = CurrentFile();
    if (file == nullptr || (TableFileExists && !file->Exists())) return;
    const TStringGrid& grid = *StringGrid1;
    const QStringList keys = ModeKeys(EditMode);
    const int columns = static_cast<int>(keys.size()) + 1;
    auto cellsOf = [&](int row) {
        QStringList cells;
        for (int col = 0; col < columns; ++col) cells.append(grid.Cells(col, row));
        return cells;
    };

    const bool exists = file->Exists();
    const QByteArray bytes = file->Content();
    QStringList names;
    file->ListSections(names);
    SortSections(names);
    const std::vector<QStringList> values = file->ReadValues(names, keys, QString());
    QHash<QString, int> fileRow; // folded name -> index in names
    for (int i = 0; i < names.size(); ++i) fileRow.insert(names[i].toCaseFolded(), i);

    // The file's sections in their order; a row of the table that stands for one keeps its id
    // and puts its unsaved changes over the file's values.
    std::vector<TStoredRow> rows(static_cast<size_t>(names.size()));
    std::vector<QStringList> cells(rows.size());
    std::vector<bool> matched(rows.size(), false);
    for (int i = 0; i < names.size(); ++i) {
        rows[i] = {true, names[i], values[i], 0};
        cells[i] = QStringList{names[i]} + values[i];
    }
    // Rows without a section of the file, each after the row it followed.
    std::vector<std::pair<int, int>> kept; // (index of the preceding file row or -1, table row)
    int previous = -1;
    for (int row = 1; row < grid.RowCount(); ++row) {
        const TStoredRow& stored = StoredRow(row);
        const QStringList now = cellsOf(row);
        const auto it =
            stored.inFile ? fileRow.constFind(stored.section.toCaseFolded()) : fileRow.constEnd();
        if (it != fileRow.constEnd() && !matched[*it]) {
            const int i = *it;
            matched[i] = true;
            rows[i].id = stored.id;
            if (stored.id != dropId) {
                const QStringList was = QStringList{stored.section} + stored.cells;
                for (int col = 0; col < columns; ++col) {
                    if (col < was.size() && now[col] != was[col]) cells[i][col] = now[col];
                }
            }
            previous = i;
            continue;
        }
        if (stored.id == dropId) continue;
        // An empty row never saved holds nothing to keep.
        const bool changed = stored.inFile
                                 ? now != QStringList{stored.section} + stored.cells
                                 : std::any_of(now.begin(), now.end(),
                                               [](const QString& c) { return !c.isEmpty(); });
        if (changed) kept.emplace_back(previous, row);
    }
    for (TStoredRow& row : rows) {
        if (row.id == 0) row.id = NextRowId++;
    }
    // Insert the kept rows, later ones first so that the indexes before them stay right.
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        const auto at = static_cast<std::ptrdiff_t>(it->first + 1);
        TStoredRow row = StoredRow(it->second);
        row.inFile = false;
        row.section.clear();
        row.cells.clear();
        rows.insert(rows.begin() + at, row);
        cells.insert(cells.begin() + at, cellsOf(it->second));
    }
    if (rows.empty()) {
        rows.push_back(NewRow());
        cells.push_back(QStringList());
    }
    FillTable(rows, cells, StoredRow(grid.Row()).id, grid.Col());
    TableFileExists = exists;
    TableFileBytes = bytes;
}

void TForm1::FillTable(const std::vector<TStoredRow>& rows, const std::vector<QStringList>& cells,
                       int currentId, int currentCol) {
    TStringGrid& grid = *StringGrid1;
    ++TableGeneration;
    const bool wasReloading = Reloading;
    Reloading = true;
    try {
        {
            const TGridUpdate update(grid);
            grid.SetRowCount(static_cast<int>(rows.size()) + 1);
            StoredRows.assign(1, TStoredRow{});
            for (size_t i = 0; i < rows.size(); ++i) {
                const int row = static_cast<int>(i) + 1;
                for (int col = 0; col < kTableColumns; ++col) {
                    grid.SetCells(col, row, col < cells[i].size() ? cells[i][col] : QString());
                }
                StoredRows.push_back(rows[i]);
            }
        }
        const int current = RowOfId(currentId);
        if (current >= 1) grid.SetCurrentCell(currentCol, current);
    } catch (...) {
        Reloading = wasReloading;
        throw;
    }
    Reloading = wasReloading;
    MeasureFitWidths();
    FormResize();
    SelectedKey = StoredRow(grid.Row()).section;
    EditRow = grid.Row();
}

const TForm1::TStoredRow& TForm1::StoredRow(int row) const {
    static const TStoredRow none;
    return row >= 0 && static_cast<size_t>(row) < StoredRows.size()
               ? StoredRows[static_cast<size_t>(row)]
               : none;
}

int TForm1::RowOfId(int id) const {
    for (size_t row = 1; row < StoredRows.size(); ++row) {
        if (StoredRows[row].id == id) return static_cast<int>(row);
    }
    return -1;
}

bool TForm1::RowEdited(int row) const {
    const TStoredRow& stored = StoredRow(row);
    if (!stored.inFile) return !StringGrid1->Cells(0, row).isEmpty();
    if (StringGrid1->Cells(0, row) != stored.section) return true;
    for (int k = 0; k < stored.cells.size(); ++k) {
        if (StringGrid1->Cells(k + 1, row) != stored.cells[k]) return true;
    }
    return false;
}

void TForm1::SaveRow(int row) {
    TIniFile* file = CurrentFile();
    if (file == nullptr) return;
    if (StringGrid1->Cells(0, row).isEmpty() && !StoredRow(row).inFile) return;
    if (!RowEdited(row)) {
        Modified = false;
        return;
    }
    if (!CheckFileBeforeSave(row)) return;
    const QString name = StringGrid1->Cells(0, row);
    const TStoredRow stored = StoredRow(row);
    const QStringList keys = ModeKeys(EditMode);
    QStringList cells;
    for (int k = 0; k < keys.size(); ++k) cells.append(StringGrid1->Cells(k + 1, row));
    // The columns changed since the load or the last save are written; the others stay as the
    // file has them (another program may have changed them), and fill in only keys the section
    // lacks, so that a saved row has every key of its mode.
    std::vector<std::pair<QString, QString>> changed, missing;
    for (int k = 0; k < keys.size(); ++k) {
        const bool same = stored.inFile && k < stored.cells.size() && stored.cells[k] == cells[k];
        (same ? missing : changed).emplace_back(keys[k], cells[k]);
    }
    const QByteArray fileBefore = TableFileBytes;
    const TIniFile::TSectionState before =
        stored.inFile ? file->SectionState(stored.section) : TIniFile::TSectionState{};
    // The row's own section goes and the row is written in one write, so that a refusal leaves
    // the file as it was and no crash can leave the row half saved.
    file->ReplaceSection(stored.inFile ? std::optional<QString>(stored.section) : std::nullopt,
                         name, changed, missing);
    StoredRows[static_cast<size_t>(row)] = {true, name, cells, stored.id};
    if (row == StringGrid1->Row()) SelectedKey = name;
    TableFileExists = true;
    TableFileBytes = file->Content();
    RecordUndo(fileBefore, before, file->SectionState(name));
    Modified = false;
}

bool TForm1::CheckFileBeforeSave(int& row) {
    TIniFile* file = CurrentFile();
    const bool exists = file->Exists();
    if (exists == TableFileExists && (!exists || file->Content() == TableFileBytes)) return true;
    if (!exists) return !RewriteDeletedFile();
    const TStoredRow before = StoredRow(row);
    ReloadTable();
    row = RowOfId(before.id);
    if (!before.inFile || row < 1) return row >= 1;
    const TStoredRow& now = StoredRow(row);
    if (now.inFile && now.cells == before.cells) return true;
    // The other program changed or removed this very row: whose text to keep?
    const QString path = file->FileName();
    const bool removed = !now.inFile;
    const QString text =
        removed ? QStringLiteral("Un autre programme a supprimé la ligne «\u00A0%1\u00A0» de %2 "
                                 "pendant que vous la modifiiez.\nLa laisser supprimée (vos "
                                 "modifications de cette ligne sont abandonnées) ou "
                                 "l'enregistrer avec vos modifications ?")
                      .arg(before.section, path)
                : QStringLiteral("Un autre programme a modifié la ligne «\u00A0%1\u00A0» de %2 "
                                 "pendant que vous la modifiiez.\nGarder son texte (vos "
                                 "modifications de cette ligne sont abandonnées) ou enregistrer "
                                 "vos modifications par-dessus ?")
                      .arg(before.section, path);
    const QStringList buttons =
        removed
            ? QStringList{QStringLiteral("La laisser supprimée"), QStringLiteral("L'enregistrer")}
            : QStringList{QStringLiteral("Garder le texte de l'autre programme"),
                          QStringLiteral("Enregistrer mes modifications")};
    if (TApplication::Modal().Choose(QStringLiteral("Confirmation"), text,
                                     TMsgDlgType::mtConfirmation, buttons, 0, 0) == 1) {
        return true;
    }
    ReloadTable(before.id);
    row = RowOfId(before.id);
    Modified = false;
    return false;
}

bool TForm1::RewriteDeletedFile() {
    TIniFile* file = CurrentFile();
    int named = 0;
    for (int row = 1; row < StringGrid1->RowCount(); ++row) {
        if (!StringGrid1->Cells(0, row).isEmpty()) ++named;
    }
    const TModalResult answer = TApplication::Modal().MessageBox(
        QStringLiteral("Confirmation"),
        QStringLiteral("Le fichier %1 a été supprimé par un autre programme pendant qu'il était "
                       "ouvert.\nLe réécrire avec les %2 lignes du tableau ?")
            .arg(file->FileName())
            .arg(named),
        TMsgDlgType::mtConfirmation, mbOK | mbCancel, mbOK);
    if (answer != TModalResult::mrOk) throw EAbort();
    WriteWholeTable();
    return true;
}

void TForm1::WriteWholeTable() {
    TIniFile* file = CurrentFile();
    const QStringList keys = ModeKeys(EditMode);
    std::vector<std::pair<QString, TIniFile::TValues>> sections;
    for (int row = 1; row < StringGrid1->RowCount(); ++row) {
        const QString name = StringGrid1->Cells(0, row);
        if (name.isEmpty()) continue;
        TIniFile::TValues values;
        for (int k = 0; k < keys.size(); ++k) {
            values.emplace_back(keys[k], StringGrid1->Cells(k + 1, row));
        }
        sections.emplace_back(name, std::move(values));
    }
    file->WriteSections(sections);
    for (int row = 1; row < StringGrid1->RowCount(); ++row) {
        const QString name = StringGrid1->Cells(0, row);
        if (name.isEmpty()) continue;
        QStringList cells;
        for (int k = 0; k < keys.size(); ++k) cells.append(StringGrid1->Cells(k + 1, row));
        StoredRows[static_cast<size_t>(row)] = {true, name, cells, StoredRow(row).id};
    }
    // The history was of a file that is gone.
    UndoSteps.erase(file->FileName());
    TableFileExists = true;
    TableFileBytes = file->Content();
    SelectedKey = StoredRow(StringGrid1->Row()).section;
    Modified = false;
}

void TForm1::ConfirmAbandonUnnamedRows() {
    const TStringGrid& grid = *StringGrid1;
    QStringList rows;
    for (int row = 1; row < grid.RowCount(); ++row) {
        if (StoredRow(row).inFile || !grid.Cells(0, row).isEmpty()) continue;
        for (int col = 1; col < kTableColumns; ++col) {
            if (!grid.Cells(col, row).isEmpty()) {
                rows.append(QString::number(row));
                break;
            }
        }
    }
    if (rows.isEmpty()) return;
    const QString heading = grid.Cells(0, 0);
    const QString text =
        rows.size() == 1
            ? QStringLiteral(
                  "La ligne %1 du tableau contient du texte mais sa colonne «\u00A0%2"
                  "\u00A0» est vide : elle ne peut pas être enregistrée.\nL'abandonner ?")
                  .arg(rows.first(), heading)
            : QStringLiteral("Les lignes %1 du tableau contiennent du texte mais leur colonne "
                             "«\u00A0%2\u00A0» est vide : elles ne peuvent pas être "
                             "enregistrées.\nLes abandonner ?")
                  .arg(rows.join(QStringLiteral(", ")), heading);
    if (TApplication::Modal().MessageBox(QStringLiteral("Confirmation"), text,
                                         TMsgDlgType::mtConfirmation, mbOK | mbCancel,
                                         mbCancel) != TModalResult::mrOk) {
        throw EAbort();
    }
}

void TForm1::RecordUndo(const QByteArray& fileBefore, const TIniFile::TSectionState& before,
                        const TIniFile::TSectionState& after) {
    if (OpenStep == nullptr) {
        std::deque<TUndoStep>& steps = UndoSteps[CurrentFile()->FileName()];
        steps.push_back(TUndoStep{fileBefore, {}, {}});
        if (steps.size() > kUndoDepth) steps.pop_front();
        OpenStep = &steps.back();
        OpenStep->sections.emplace_back(before, after);
        OpenStep->fileAfter = TableFileBytes;
        OpenStep = nullptr;
        return;
    }
    OpenStep->sections.emplace_back(before, after);
    OpenStep->fileAfter = TableFileBytes;
}

void TForm1::Undo() {
    TIniFile* file = CurrentFile();
    if (file == nullptr) return;
    TStringGrid& grid = *StringGrid1;
    const int current = grid.Row();
    const TStoredRow& stored = StoredRow(current);
    // Unsaved changes of the current row come first.
    bool pending = false;
    for (int col = 0; col < kTableColumns && !pending; ++col) {
        const QString was = !stored.inFile ? QString()
                            : col == 0     ? stored.section
                                           : stored.cells.value(col - 1);
        pending = grid.Cells(col, current) != was;
    }
    if (pending) {
        for (int col = 0; col < kTableColumns; ++col) {
            grid.SetCells(col, current,
                          !stored.inFile ? QString()
                          : col == 0     ? stored.section
                                         : stored.cells.value(col - 1));
        }
        Modified = false;
        return;
    }
    if (TableFileExists && !file->Exists()) {
        RewriteDeletedFile();
        return;
    }
    const auto found = UndoSteps.find(file->FileName());
    if (found == UndoSteps.end() || found->second.empty()) return;
    const TUndoStep step = found->second.back();
    // The file as the step left it is put back whole; when another program changed it since,
    // the step's sections alone, each only if it is still as the step left it.
    if (!file->ReplaceContent(step.fileAfter, step.fileBefore)) {
        for (auto it = step.sections.rbegin(); it != step.sections.rend(); ++it) {
            const auto& [before, after] = *it;
            const TIniFile::TSectionState now = file->SectionState(after.name);
            if (now.present != after.present || now.bytes != after.bytes) {
                throw Exception(Format("La ligne «\u00A0%s\u00A0» de %s a été modifiée par un "
                                       "autre programme depuis : elle n'est pas rétablie.",
                                       after.name.toUtf8().constData(),
                                       file->FileName().toUtf8().constData()));
            }
            file->RestoreSection(after.present ? std::optional<QString>(after.name) : std::nullopt,
                                 before);
        }
    }
    found->second.pop_back();
    ReloadTable();
    // The current cell goes to the row put back.
    const QString restored = step.sections.front().first.present
                                 ? step.sections.front().first.name
                                 : step.sections.front().second.name;
    for (int row = 1; row < grid.RowCount(); ++row) {
        if (StoredRow(row).inFile && StoredRow(row).section == restored) {
            grid.SetCurrentCell(grid.Col(), row);
            break;
        }
    }
    Modified = false;
}

void TForm1::PasteBlock(const QString& block) {
    TStringGrid& grid = *StringGrid1;
    QString text = block;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    if (text.endsWith(u'\n')) text.chop(1);
    const QStringList lines = text.split(u'\n');
    QList<int> columns;
    for (int col = grid.Col(); col < kTableColumns; ++col) {
        if (grid.ColWidths(col) > 0) columns.append(col);
    }
    qsizetype widest = 0;
    for (const QString& line : lines) widest = std::max(widest, line.split(u'\t').size());
    if (widest > columns.size()) {
        throw Exception(Format("Le bloc copié a %d colonnes, mais le tableau n'en montre que %d à "
                               "partir de la colonne «\u00A0%s\u00A0» : rien n'est collé.",
                               int(widest), int(columns.size()),
                               grid.Cells(grid.Col(), 0).toUtf8().constData()));
    }
    // Rows beyond the end of the table are added, as "Insérer après" adds them.
    const int first = grid.Row();
    const int needed = first + static_cast<int>(lines.size());
    if (needed > grid.RowCount()) {
        grid.SetRowCount(needed);
        while (StoredRows.size() < static_cast<size_t>(needed)) StoredRows.push_back(NewRow());
    }
    std::vector<int> ids;
    std::map<int, QStringList> previous;
    for (int i = 0; i < lines.size(); ++i) {
        const int row = first + i;
        const int id = StoredRow(row).id;
        ids.push_back(id);
        QStringList cells;
        for (int col = 0; col < kTableColumns; ++col) cells.append(grid.Cells(col, row));
        previous[id] = cells;
        const QStringList values = lines[i].split(u'\t');
        for (int k = 0; k < values.size(); ++k) grid.SetCells(columns[k], row, values[k]);
    }
    SaveRowsOf(ids, previous);
}

void TForm1::SaveRowsOf(const std::vector<int>& ids, const std::map<int, QStringList>& previous) {
    TStringGrid& grid = *StringGrid1;
    TIniFile* file = CurrentFile();
    if (file == nullptr) return;
    TUndoStep step{TableFileBytes, {}, {}};
    OpenStep = &step;
    for (size_t i = 0; i < ids.size(); ++i) {
        const int row = RowOfId(ids[i]);
        if (row < 1) continue;
        try {
            SaveRow(row);
        } catch (const std::exception& error) {
            OpenStep = nullptr;
            for (size_t j = i; j < ids.size(); ++j) {
                const int back = RowOfId(ids[j]);
                const QStringList& cells = previous.at(ids[j]);
                for (int col = 0; back >= 1 && col < kTableColumns; ++col)
                    grid.SetCells(col, back, cells[col]);
            }
            Modified = RowEdited(grid.Row());
            if (!step.sections.empty()) {
                std::deque<TUndoStep>& steps = UndoSteps[file->FileName()];
                steps.push_back(step);
                if (steps.size() > kUndoDepth) steps.pop_front();
            }
            if (dynamic_cast<const EAbort*>(&error) != nullptr) throw;
            throw Exception(QStringLiteral("%1\nLe collage s'arrête à la ligne %2 du tableau : "
                                           "elle et les suivantes restent comme avant.")
                                .arg(QString::fromUtf8(error.what()))
                                .arg(row)
                                .toStdString());
        }
    }
    OpenStep = nullptr;
    if (!step.sections.empty()) {
        std::deque<TUndoStep>& steps = UndoSteps[file->FileName()];
        steps.push_back(step);
        if (steps.size() > kUndoDepth) steps.pop_front();
    }
    Modified = RowEdited(grid.Row()) && !grid.Cells(0, grid.Row()).isEmpty();
    EditRow = grid.Row();
}

bool TForm1::CellColour(int col, int row, QColor& colour) const {
    if (EditMode != emScale || col != kColourColumn) return false;
    const QString text = StringGrid1->Cells(col, row);
    int32_t value = 0;
    if (text.trimmed().isEmpty() || !TryStrToInt(text.toStdString(), value)) return false;
    colour = ToQColor(static_cast<TColor>(value));
    return true;
}

void TForm1::MeasureFitWidths() {
    const TStringGrid& grid = *StringGrid1;
    KeyFitWidth = 0;
    ColourFitWidth = 0;
    for (int row = grid.FixedRows(); row < grid.RowCount(); ++row) {
        KeyFitWidth = std::max(KeyFitWidth, grid.CellFitWidth(0, row));
        if (EditMode == emScale) {
            ColourFitWidth = std::max(ColourFitWidth, grid.CellFitWidth(kColourColumn, row));
        }
    }
}

void TForm1::StringGrid1KeyDown(int, Qt::KeyboardModifiers) {
    Modified = true;
    // Keys that only navigate or open a menu report no edit; the pending save must still write
    // the row SelectedKey belongs to, which is the current one.
    EditRow = StringGrid1->Row();
}

void TForm1::StringGrid1KeyPress(QChar& key) {
    if (StringGrid1->Col() == 0 && key == u'.') key = u',';
}

void TForm1::StringGrid1SetEditText(int, int row, const QString&) {
    EditRow = row;
}

void TForm1::StringGrid1SelectCell(int col, int row, bool&) {
    if (!Reloading && Modified) {
        // A save may read the file again and move rows: the move follows its row.
        const int target = StoredRow(row).id;
        const int generation = TableGeneration;
        SaveRow(EditRow);
        if (generation != TableGeneration) {
            const int moved = RowOfId(target);
            row = moved >= 1 ? moved : std::min(row, StringGrid1->RowCount() - 1);
            StringGrid1->RetargetMove(col, row);
        }
    }
    SelectedKey = StoredRow(row).section;
}

void TForm1::Insreraprs1Click(QObject*) {
    TStringGrid& grid = *StringGrid1;
    const int current = grid.Row();
    grid.SetRowCount(grid.RowCount() + 1);
    for (int row = grid.RowCount() - 1; row >= current + 2; --row) grid.CopyRow(row - 1, row);
    grid.ClearRow(current + 1);
    StoredRows.resize(static_cast<size_t>(grid.RowCount()) - 1);
    StoredRows.insert(StoredRows.begin() + current + 1, NewRow());
}

void TForm1::Supprimer1Click(QObject*) {
    const int row = StringGrid1->Row();
    // The row's own section, whatever is typed in its key cell now; a row never saved is named
    // by its key cell and leaves the file alone.
    const TStoredRow stored = StoredRow(row);
    const QString name = stored.inFile ? stored.section : StringGrid1->Cells(0, row);
    TIniFile* file = CurrentFile();
    if ((name.isEmpty() && !stored.inFile) || file == nullptr) return;
    const TModalResult answer = TApplication::Modal().MessageBox(
        QStringLiteral("Confirmation"),
        QStringLiteral("Supprimer la ligne relative à\nla date : ") + name,
        TMsgDlgType::mtConfirmation, mbOK | mbCancel, mbOK);
    if (answer != TModalResult::mrOk) return;
    if (stored.inFile) {
        if (TableFileExists && !file->Exists()) RewriteDeletedFile();
        const QByteArray fileBefore = file->Content();
        const TIniFile::TSectionState before = file->SectionState(stored.section);
        file->RemoveSection(stored.section);
        TableFileBytes = file->Content();
        if (before.present) {
            RecordUndo(fileBefore, before, TIniFile::TSectionState{false, before.name, {}, 0, -1});
        }
    }
    ReloadTable(stored.id);
    // As after a load, the current cell goes up to the first row.
    Reloading = true;
    const bool moved =
        TApplication::Run([this] { StringGrid1->SetCurrentCell(StringGrid1->Col(), 1); });
    Reloading = false;
    if (moved) {
        SelectedKey = StoredRow(1).section;
        EditRow = 1;
    }
}
