// TStringGrid: an editable grid of strings addressed by (column, row), on Qt Widgets.
//
// Rows 0 to FixedRows - 1 are fixed heading rows (at most one, shown as the column header); the
// rows below are the cells the user moves in and edits. A cell editor is always open on the
// current cell. Text the program writes into cells raises no notification. The notifications:
//   OnKeyDown      a key goes down in the grid or its cell editor, before the key acts;
//   OnKeyPress     a character is typed, before it reaches the cell; the handler may replace it
//                  (a null character swallows it);
//   OnSetEditText  the cell has just taken the cell editor's text: after every change the user
//                  makes in the editor, and again for the cell being left when the current cell
//                  is about to move (before OnSelectCell);
//   OnSelectCell   the current cell is about to move (keyboard, mouse, or in code); the move is
//                  refused when the handler clears its flag or raises, and goes elsewhere when
//                  the handler calls RetargetMove (rows it reordered meanwhile);
//   OnUndo         Ctrl+Z (the cell editor's own undo is not used);
//   OnPaste        Ctrl+V with a block of cells on the clipboard (tab-separated columns, one
//                  line per row); a single value is pasted into the cell editor as typed text.
// An exception from a handler called for a user action goes to the general error report and
// the action stops there; from a change made in code it reaches the code's caller.
//
// The cell editor is either on a cell that was only selected (reached by the keyboard or a load:
// its whole text is selected, typing replaces it, and Left, Right, Home and End move to other
// cells) or open (after a click in the cell, F2, a double click, or typing: Home and End move
// the caret, Left and Right too until they pass the text's ends). F2 and a double click put the
// caret at the end of the text. A right click first moves the current cell to the cell under
// the mouse, through OnSelectCell, and opens the pop-up menu only if the move was allowed.
//
// Cells whose text does not fit show it whole as a tooltip (others show the hint), cells for
// which OnCellColour gives a colour show a swatch of it before their text, and the current
// cell never stays in a column of width 0: it moves to the nearest visible column of its row,
// without notifications.
//
// Keys typed with Alt or Meta held (menu mnemonics and other chords) never type into a cell;
// Ctrl chords are the cell editor's shortcuts (select all, word moves) or the grid's (copy,
// paste, undo). Escape puts back the text the current cell had when its editor was placed on
// it. Shift with the arrows, Home, End and the page keys, a Shift click and a mouse drag select
// a block of cells from the anchor (the cell where the selection started) to the current cell;
// Ctrl+C copies the block as tab-separated text. Columns can elide their texts in the middle
// or on the left instead of on the right; in the middle, a path that does not fit shows its
// file name (see ElidePath).
#pragma once

#include <QColor>
#include <QList>
#include <QRect>
#include <QString>
#include <QTableView>

#include <functional>
#include <vector>

class QFontMetrics;
class QMenu;
class TGridModel;

// A path (folders separated by "\\" or "/") shown in `width` pixels: whole when it fits, else
// its file name after an ellipsis, else the file name cut in its middle.
QString ElidePath(const QFontMetrics& metrics, const QString& path, int width);
class TGridSelectionModel;
class TInplaceEdit;

class TStringGrid : public QTableView {
public:
    explicit TStringGrid(QWidget* parent = nullptr);
    ~TStringGrid() override;

    // Cells; reading outside the grid gives an empty text, writing outside it does nothing.
    QString Cells(int col, int row) const;
    void SetCells(int col, int row, const QString& text);
    // Empties every cell of a row.
    void ClearRow(int row);
    // Copies every cell of row `from` over row `to`.
    void CopyRow(int from, int to);

    int ColCount() const;
    void SetColCount(int count);
    int RowCount() const;
    // A smaller count that leaves the current cell outside moves it to the last row first, with
    // the OnSelectCell notification. The count is always above FixedRows.
    void SetRowCount(int count);
    int FixedRows() const { return fixedRows_; }
    // 0 or 1 fixed rows, fewer than RowCount. A current cell in a row that becomes fixed moves
    // to column 0 of the first row below the fixed ones, without a notification.
    void SetFixedRows(int count);

    // Column widths in pixels; a width below zero counts as zero, which hides the column.
    int ColWidths(int col) const;
    void SetColWidths(int col, int width);
    // The narrowest width of column `col` that shows the text of the cell (col, row) whole,
    // with its colour swatch.
    int CellFitWidth(int col, int row) const;

    // The current cell.
    int Col() const { return col_; }
    int Row() const { return row_; }
    // Moves the current cell, with the notifications; exceptions reach the caller. The anchor
    // of the selection moves with it.
    void SetCurrentCell(int col, int row);
    // Called from OnSelectCell: the move goes to (col, row) instead.
    void RetargetMove(int col, int row);

    // The selected block, from the anchor to the current cell: left, top, right, bottom.
    QRect Selection() const;
    // The visible columns of the selected block, left to right.
    QList<int> SelectedColumns() const;
    // The selected block as tab-separated text, one line per row, each ended by "\n".
    QString SelectionText() const;

    // How the cells of a column elide a text that does not fit (right by default).
    void SetColElide(int col, Qt::TextElideMode mode);
    Qt::TextElideMode ColElide(int col) const;
    // The narrowest width of column `col` that shows its heading whole.
    int HeadingFitWidth(int col) const;
    // The width that columns can take without a horizontal scroll bar, counting the room the
    // vertical scroll bar takes when the rows need it.
    int ClientWidth() const;

    // Tooltip of every cell.
    void SetHint(const QString& hint);
    // Menu opened by a right click; not owned.
    void SetPopupMenu(QMenu* menu) { popupMenu_ = menu; }

    // The cell editor (for focus checks and for tests that type into it).
    QWidget* Editor() const;

    // Many cell writes without redrawing after each; the view is refreshed at the end.
    void BeginUpdate();
    void EndUpdate();

    std::function<void(int key, Qt::KeyboardModifiers shift)> OnKeyDown;
    std::function<void(QChar& key)> OnKeyPress;
    std::function<void(int col, int row, const QString& text)> OnSetEditText;
    std::function<void(int col, int row, bool& canSelect)> OnSelectCell;
    std::function<void()> OnUndo;
    std::function<void(const QString& block)> OnPaste;
    // The colour of a cell's swatch: answers false for a cell without one. Never raises.
    std::function<bool(int col, int row, QColor& colour)> OnCellColour;

protected:
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    void keyboardSearch(const QString& search) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void scrollContentsBy(int dx, int dy) override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    void updateGeometries() override;

private:
    friend class TGridSelectionModel;
    friend class TInplaceEdit;

    // A move asked for by a user action; errors go to the general error report. The target
    // may be changed by the handler (RetargetMove).
    bool AllowUserMove(int& col, int& row);
    // Reports the cell being left, then asks OnSelectCell.
    bool AskMove(int& col, int& row);
    // Moves the current cell as a user action, keeping the anchor when `extend`.
    void UserMove(const QModelIndex& target, bool extend);
    // Extends the selection to the cell under a point of the viewport (a drag).
    void DragTo(const QPoint& at);
    // Grid shortcuts: copy, paste, undo; answers whether the key was one.
    bool HandleShortcut(QKeyEvent* event, bool inEditor);
    // Selects the block from the anchor to the current cell.
    void SyncSelection();
    // Key handling shared by the grid and its cell editor; answers whether the key was used.
    bool HandleKey(QKeyEvent* event, bool inEditor);
    bool NavigationTarget(QKeyEvent* event, bool inEditor, int& col, int& row) const;
    int NextVisibleCol(int col, int step) const;
    int PageRows() const;
    void EditorTextEdited(const QString& text);
    // Puts Qt's current index on the grid's current cell, without notifications.
    void SyncCurrent();
    // Places the cell editor over the current cell; `reload` also loads the cell's text.
    void PlaceEditor(bool reload);
    void RefreshEditor(int col, int row);
    // Moves the current cell out of a column of width 0, to the nearest visible one.
    void KeepCurrentVisible();
    QModelIndex IndexOf(int col, int row) const;

    TGridModel* model_ = nullptr;
    TGridSelectionModel* selection_ = nullptr;
    TInplaceEdit* editor_ = nullptr;
    QMenu* popupMenu_ = nullptr;
    int fixedRows_ = 0;
    int col_ = 0;
    int row_ = 0;
    int anchorCol_ = 0;
    int anchorRow_ = 0;
    bool extending_ = false;
    bool syncing_ = false;
    // The target set by RetargetMove while OnSelectCell runs.
    bool retargeted_ = false;
    int retargetCol_ = 0;
    int retargetRow_ = 0;
    // Text of the current cell when its editor was placed on it (Escape puts it back).
    QString startText_;
    std::vector<Qt::TextElideMode> elide_;
};

// BeginUpdate/EndUpdate for a scope.
class TGridUpdate {
public:
    explicit TGridUpdate(TStringGrid& grid) : grid_(grid) { grid_.BeginUpdate(); }
    ~TGridUpdate() { grid_.EndUpdate(); }
    TGridUpdate(const TGridUpdate&) = delete;
    TGridUpdate& operator=(const TGridUpdate&) = delete;

private:
    TStringGrid& grid_;
};
