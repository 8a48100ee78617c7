#include "editor/EditU1.h"

#include "platform/graphics/Exceptions.h"
#include "platform/ui/Application.h"
#include "platform/ui/Panel.h"
#include "platform/ui/StringGrid.h"

#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
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
    // A designed width, or more where the table's longest text needs it (up to a quarter of
    // the grid, so that a very long name cannot push every other column out).
    auto atLeast = [width](int designed, int fit) {
        return std::max(designed, std::min(fit, width / 4));
    };
    switch (EditMode) {
    case emScale: {
        grid.SetColWidths(0, atLeast(40, KeyFitWidth));
        for (int col = 1; col <= 5; ++col) grid.SetColWidths(col, 80);
        grid.SetColWidths(kColourColumn, atLeast(40, ColourFitWidth));
        grid.SetColWidths(7, 80);
        grid.SetColWidths(10, 80);
        int rest = width;
        for (int col = 0; col <= 7; ++col) rest -= grid.ColWidths(col);
        rest -= grid.ColWidths(10);
        grid.SetColWidths(8, rest / 4 - 10);
        const int image = grid.ColWidths(8);
        for (const int col : {9, 11, 12}) grid.SetColWidths(col, image);
        break;
    }
    case emEvent:
        grid.SetColWidths(0, atLeast(60, KeyFitWidth));
        grid.SetColWidths(1, width - grid.ColWidths(0) - 6);
        for (int col = 2; col < kTableColumns; ++col) grid.SetColWidths(col, 0);
        break;
    case emData:
        grid.SetColWidths(0, atLeast(100, KeyFitWidth));
        grid.SetColWidths(1, (width - grid.ColWidths(0) - 6) / 2);
        grid.SetColWidths(2, grid.ColWidths(1));
        for (int col = 3; col < kTableColumns; ++col) grid.SetColWidths(col, 0);
        break;
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
    {
        const TGridUpdate update(grid);
        // The rows being emptied hold nothing of the file any more.
        StoredRows.clear();
        for (int row = 0; row < grid.RowCount(); ++row) grid.ClearRow(row);
        grid.SetRowCount(2);
        grid.SetFixedRows(1);

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
        StoredRows.assign(static_cast<size_t>(grid.RowCount()), TStoredRow{});
        for (int i = 0; i < ListBox1.size(); ++i) {
            grid.SetCells(0, i + 1, ListBox1[i]);
            for (int k = 0; k < keys.size(); ++k) grid.SetCells(k + 1, i + 1, values[i][k]);
            StoredRows[static_cast<size_t>(i) + 1] = {ListBox1[i], values[i]};
        }
    }
    MeasureFitWidths();
    FormResize();
    SelectedKey = StoredRow(1).section;
    // A save pending from before the load writes the current row, whose key SelectedKey now
    // holds, never a row number of the table shown before.
    EditRow = grid.Row();
}

const TForm1::TStoredRow& TForm1::StoredRow(int row) const {
    static const TStoredRow none;
    return row >= 0 && static_cast<size_t>(row) < StoredRows.size()
               ? StoredRows[static_cast<size_t>(row)]
               : none;
}

void TForm1::SaveRow(int row) {
    const QString name = StringGrid1->Cells(0, row);
    const TStoredRow& stored = StoredRow(row);
    if (name.isEmpty() && stored.section.isEmpty()) return;
    TIniFile* file = CurrentFile();
    if (file == nullptr) return;
    const QStringList keys = ModeKeys(EditMode);
    QStringList cells;
    for (int k = 0; k < keys.size(); ++k) cells.append(StringGrid1->Cells(k + 1, row));
    if (stored.section.isEmpty() || name != stored.section || cells != stored.cells) {
        // The columns changed since the load or the last save are written; the others stay
        // as the file has them (another program may have changed them), and fill in only keys
        // the section lacks, so that a saved row has every key of its mode.
        std::vector<std::pair<QString, QString>> changed, missing;
        for (int k = 0; k < keys.size(); ++k) {
            const bool same = k < stored.cells.size() && stored.cells[k] == cells[k];
            (same ? missing : changed).emplace_back(keys[k], cells[k]);
        }
        // The row's own section goes and the row is written in one write, so that a refusal
        // leaves the file as it was and no crash can leave the row half saved.
        file->ReplaceSection(stored.section, name, changed, missing);
        StoredRows.resize(std::max(StoredRows.size(), static_cast<size_t>(row) + 1));
        StoredRows[static_cast<size_t>(row)] = {name, cells};
        if (row == StringGrid1->Row()) SelectedKey = name;
    }
    Modified = false;
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

void TForm1::StringGrid1SelectCell(int, int row, bool&) {
    if (Modified) SaveRow(EditRow);
    SelectedKey = StoredRow(row).section;
}

void TForm1::Insreraprs1Click(QObject*) {
    TStringGrid& grid = *StringGrid1;
    const int current = grid.Row();
    grid.SetRowCount(grid.RowCount() + 1);
    for (int row = grid.RowCount() - 1; row >= current + 2; --row) grid.CopyRow(row - 1, row);
    grid.ClearRow(current + 1);
    StoredRows.resize(static_cast<size_t>(grid.RowCount()) - 1);
    StoredRows.insert(StoredRows.begin() + current + 1, TStoredRow{});
}

void TForm1::Supprimer1Click(QObject*) {
    const int row = StringGrid1->Row();
    // The row's own section, whatever is typed in its key cell now; a row never saved is named
    // by its key cell and leaves the file alone.
    const QString section = StoredRow(row).section;
    const QString name = section.isEmpty() ? StringGrid1->Cells(0, row) : section;
    TIniFile* file = CurrentFile();
    if (name.isEmpty() || file == nullptr) return;
    const TModalResult answer = TApplication::Modal().MessageBox(
        QStringLiteral("Confirmation"),
        QStringLiteral("Supprimer la ligne relative à\nla date : ") + name,
        TMsgDlgType::mtConfirmation, mbOK | mbCancel, mbOK);
    if (answer != TModalResult::mrOk) return;
    if (!section.isEmpty()) file->RemoveSection(section);
    LoadTable(file);
}
