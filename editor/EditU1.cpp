#include "editor/EditU1.h"

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

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Chronolith"));
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

TForm1::~TForm1() = default;

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
    switch (EditMode) {
    case emScale: {
        grid.SetColWidths(0, 40);
        for (int col = 1; col <= 5; ++col) grid.SetColWidths(col, 80);
        grid.SetColWidths(6, 40);
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
        grid.SetColWidths(0, 60);
        grid.SetColWidths(1, width - grid.ColWidths(0) - 6);
        for (int col = 2; col < kTableColumns; ++col) grid.SetColWidths(col, 0);
        break;
    case emData:
        grid.SetColWidths(0, 100);
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
        for (int i = 0; i < ListBox1.size(); ++i) {
            grid.SetCells(0, i + 1, ListBox1[i]);
            for (int k = 0; k < keys.size(); ++k) grid.SetCells(k + 1, i + 1, values[i][k]);
        }
    }
    FormResize();
    SelectedKey = grid.Cells(0, 1);
    // A save pending from before the load writes the current row, whose key SelectedKey now
    // holds, never a row number of the table shown before.
    EditRow = grid.Row();
}

void TForm1::SaveRow(int row) {
    const QString name = StringGrid1->Cells(0, row);
    if (name.isEmpty()) return;
    TIniFile* file = CurrentFile();
    if (file == nullptr) return;
    const QStringList keys = ModeKeys(EditMode);
    std::vector<std::pair<QString, QString>> values;
    values.reserve(keys.size());
    for (int k = 0; k < keys.size(); ++k)
        values.emplace_back(keys[k], StringGrid1->Cells(k + 1, row));
    // The old section goes and the row is written in one write, so that a failure leaves the
    // file as it was and no crash can leave the row half saved.
    file->ReplaceSection(SelectedKey, name, values);
    Modified = false;
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
    SelectedKey = StringGrid1->Cells(0, row);
}

void TForm1::Insreraprs1Click(QObject*) {
    TStringGrid& grid = *StringGrid1;
    const int current = grid.Row();
    grid.SetRowCount(grid.RowCount() + 1);
    for (int row = grid.RowCount() - 1; row >= current + 2; --row) grid.CopyRow(row - 1, row);
    grid.ClearRow(current + 1);
}

void TForm1::Supprimer1Click(QObject*) {
    const QString name = StringGrid1->Cells(0, StringGrid1->Row());
    TIniFile* file = CurrentFile();
    if (name.isEmpty() || file == nullptr) return;
    const TModalResult answer = TApplication::Modal().MessageBox(
        QStringLiteral("Confirmation"),
        QStringLiteral("Supprimer la ligne relative à\nla date : ") + name,
        TMsgDlgType::mtConfirmation, mbOK | mbCancel, mbOK);
    if (answer != TModalResult::mrOk) return;
    file->RemoveSection(name);
    LoadTable(file);
}
