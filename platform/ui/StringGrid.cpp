#include "platform/ui/StringGrid.h"

#include "platform/ui/Application.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>

namespace {

constexpr int kSwatchSize = 12;

// A colour swatch: the colour with a grey frame, so that pale colours show on white.
QPixmap SwatchPixmap(const QColor& colour, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(colour);
    QPainter painter(&pixmap);
    painter.setPen(QColor(96, 96, 96));
    painter.drawRect(0, 0, size - 1, size - 1);
    return pixmap;
}

} // namespace

QString ElidePath(const QFontMetrics& metrics, const QString& path, int width) {
    if (metrics.horizontalAdvance(path) <= width) return path;
    const qsizetype slash = std::max(path.lastIndexOf(u'\\'), path.lastIndexOf(u'/'));
    const QString name = path.mid(slash + 1);
    const QString shown = QStringLiteral("\u2026") + name;
    if (slash >= 0 && metrics.horizontalAdvance(shown) <= width) return shown;
    return metrics.elidedText(name, Qt::ElideMiddle, width);
}

// The cells, rows 0 to FixedRows - 1 included; Qt sees the rows below them, and the fixed row
// as the horizontal header.
class TGridModel : public QAbstractTableModel {
public:
    explicit TGridModel(TStringGrid& grid) : QAbstractTableModel(&grid), grid_(grid) {}

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows_.size()) - fixed_;
    }
    int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : cols_;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid()) return {};
        if (role == Qt::DisplayRole) return rows_[index.row() + fixed_][index.column()];
        if (role == Qt::ToolTipRole && !hint_.isEmpty()) return hint_;
        if (role == Qt::DecorationRole && grid_.OnCellColour) {
            QColor colour;
            if (grid_.OnCellColour(index.column(), index.row() + fixed_, colour)) {
                auto it = swatches_.constFind(colour.rgb());
                if (it == swatches_.constEnd()) {
                    it = swatches_.insert(colour.rgb(), SwatchPixmap(colour, kSwatchSize));
                }
                return *it;
            }
        }
        return {};
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && fixed_ > 0 &&
            section >= 0 && section < cols_) {
            return rows_[0][section];
        }
        return {};
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    int Rows() const { return static_cast<int>(rows_.size()); }
    int Cols() const { return cols_; }
    int Fixed() const { return fixed_; }
    bool Contains(int col, int row) const {
        return col >= 0 && col < cols_ && row >= 0 && row < Rows();
    }
    const QString& Cell(int col, int row) const { return rows_[row][col]; }

    void SetCell(int col, int row, const QString& text) {
        QString& cell = rows_[row][col];
        if (cell == text) return;
        cell = text;
        if (updating_ > 0) return;
        if (row < fixed_) {
            emit headerDataChanged(Qt::Horizontal, col, col);
        } else {
            const QModelIndex at = index(row - fixed_, col);
            emit dataChanged(at, at, {Qt::DisplayRole});
        }
    }
    void SetRows(int count) {
        const int old = Rows();
        if (count > old) {
            beginInsertRows(QModelIndex(), old - fixed_, count - fixed_ - 1);
            rows_.resize(count, std::vector<QString>(cols_));
            endInsertRows();
        } else if (count < old) {
            beginRemoveRows(QModelIndex(), count - fixed_, old - fixed_ - 1);
            rows_.resize(count);
            endRemoveRows();
        }
    }
    void SetCols(int count) {
        beginResetModel();
        cols_ = count;
        for (auto& row : rows_) row.resize(count);
        endResetModel();
    }
    void SetFixed(int count) {
        beginResetModel();
        fixed_ = count;
        endResetModel();
    }
    void SetHint(const QString& hint) { hint_ = hint; }
    void BeginUpdate() { ++updating_; }
    void EndUpdate() {
        if (--updating_ > 0) return;
        if (rowCount(QModelIndex()) > 0 && cols_ > 0) {
            emit dataChanged(index(0, 0), index(rowCount(QModelIndex()) - 1, cols_ - 1),
                             {Qt::DisplayRole});
        }
        if (cols_ > 0) emit headerDataChanged(Qt::Horizontal, 0, cols_ - 1);
    }

private:
    std::vector<std::vector<QString>> rows_ =
        std::vector<std::vector<QString>>(1, std::vector<QString>(1));
    int cols_ = 1;
    int fixed_ = 0;
    int updating_ = 0;
    QString hint_;
    TStringGrid& grid_;
    mutable QHash<QRgb, QPixmap> swatches_;
};

// Asks the grid before Qt moves the current cell, whatever made the move; keeps the selection on
// the current cell, so that a refused move leaves no highlight behind.
class TGridSelectionModel : public QItemSelectionModel {
public:
    TGridSelectionModel(QAbstractItemModel* model, TStringGrid& grid)
        : QItemSelectionModel(model, &grid), grid_(grid) {}

    void setCurrentIndex(const QModelIndex& index, SelectionFlags command) override {
        if (grid_.syncing_ || !index.isValid() || index == currentIndex()) {
            QItemSelectionModel::setCurrentIndex(index, command);
            return;
        }
        int col = index.column();
        int row = index.row() + grid_.fixedRows_;
        if (!grid_.AllowUserMove(col, row)) return;
        // The handler may have reordered the rows and sent the move elsewhere.
        const QModelIndex target = grid_.IndexOf(col, row);
        if (target.isValid()) QItemSelectionModel::setCurrentIndex(target, command);
    }
    using QItemSelectionModel::select;
    void select(const QItemSelection& selection, SelectionFlags command) override {
        if (!grid_.syncing_ && (command & (Select | Toggle)) && !selection.isEmpty() &&
            !selection.contains(currentIndex())) {
            return;
        }
        QItemSelectionModel::select(selection, command);
    }

private:
    TStringGrid& grid_;
};

// Draws each column's cells with the column's elision.
class TGridDelegate : public QStyledItemDelegate {
public:
    explicit TGridDelegate(TStringGrid& grid) : QStyledItemDelegate(&grid), grid_(grid) {}

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = grid_.ColElide(index.column());
        if (option->textElideMode == Qt::ElideMiddle) {
            // The room the style leaves the text: the cell less its margins on both sides.
            const int margin =
                grid_.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &grid_) + 1;
            option->text =
                ElidePath(option->fontMetrics, option->text, option->rect.width() - 2 * margin);
        }
    }

private:
    TStringGrid& grid_;
};

// The cell editor, open on the current cell. Its keys go to the grid first.
class TInplaceEdit : public QLineEdit {
public:
    TInplaceEdit(TStringGrid& grid, QWidget* parent) : QLineEdit(parent), grid_(grid) {
        setFrame(false);
        // Right clicks open the grid's menu; text only changes through keys.
        setContextMenuPolicy(Qt::NoContextMenu);
        setAcceptDrops(false);
        setDragEnabled(false);
        setAttribute(Qt::WA_InputMethodEnabled, false);
    }

    void BaseKeyPress(QKeyEvent* event) { QLineEdit::keyPressEvent(event); }

    // Open: Home, End, Left and Right move the caret (see StringGrid.h). Set by the grid.
    bool open = false;
    // Opens the editor with the caret at the end of the text.
    void Open() {
        open = true;
        deselect();
        end(false);
    }
    // Whether an open or selected editor uses a caret key itself rather than the grid.
    bool KeepsKey(int key) const {
        if (!open) {
            return (key == Qt::Key_Left || key == Qt::Key_Home) ? !AtLeftSide() : !AtRightSide();
        }
        switch (key) {
        case Qt::Key_Left:
            return hasSelectedText() || cursorPosition() > 0;
        case Qt::Key_Right:
            return hasSelectedText() || cursorPosition() < text().size();
        default:
            return true;
        }
    }
    // The swatch shown before the text, or none for an invalid colour.
    void SetSwatch(const QColor& colour) {
        if (colour == swatch_) return;
        swatch_ = colour;
        const int margin = swatch_.isValid() ? kSwatchSize + 4 : 0;
        setTextMargins(margin, 0, 0, 0);
        update();
    }

    // Caret at the start, or the whole text selected: Left and Home go to the grid.
    bool AtLeftSide() const {
        const int start = hasSelectedText() ? selectionStart() : cursorPosition();
        const int end = hasSelectedText() ? selectionEnd() : cursorPosition();
        return start == 0 && (end == 0 || end == text().size());
    }
    // Caret at the end, or the whole text selected: Right and End go to the grid.
    bool AtRightSide() const {
        const int start = hasSelectedText() ? selectionStart() : cursorPosition();
        const int end = hasSelectedText() ? selectionEnd() : cursorPosition();
        return (start == 0 || start == end) && end == text().size();
    }

protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::ToolTip) {
            // A text wider than the editor shows whole; otherwise the grid's hint.
            const QMargins margins = textMargins();
            const int room = contentsRect().width() - margins.left() - margins.right() - 4;
            if (fontMetrics().horizontalAdvance(text()) > room) {
                QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
                return true;
            }
        }
        if (event->type() != QEvent::KeyPress) return QLineEdit::event(event);
        auto* key = static_cast<QKeyEvent*>(event);
        if (!grid_.HandleKey(key, true)) {
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                if (hasSelectedText() && selectedText().size() == text().size()) {
                    deselect();
                } else {
                    selectAll();
                }
            } else {
                BaseKeyPress(key);
            }
        }
        // Never passed on to the grid, which has seen the key already.
        event->accept();
        return true;
    }
    void mousePressEvent(QMouseEvent* event) override {
        // No middle-button paste: every change of the text comes from a key.
        if (event->button() == Qt::MiddleButton) return event->accept();
        if (event->button() == Qt::LeftButton) open = true;
        QLineEdit::mousePressEvent(event);
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) return event->accept();
        Open();
        event->accept();
    }
    void paintEvent(QPaintEvent* event) override {
        QLineEdit::paintEvent(event);
        if (!swatch_.isValid()) return;
        QPainter painter(this);
        const QRect area = contentsRect();
        painter.drawPixmap(area.left() + 2, area.top() + (area.height() - kSwatchSize) / 2,
                           SwatchPixmap(swatch_, kSwatchSize));
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::MiddleButton) return event->accept();
        QLineEdit::mouseReleaseEvent(event);
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        // A drag that leaves the cell selects cells rather than text.
        const QPoint at = event->position().toPoint();
        if ((event->buttons() & Qt::LeftButton) != 0 && !rect().contains(at)) {
            grid_.DragTo(mapTo(grid_.viewport(), at));
            return event->accept();
        }
        QLineEdit::mouseMoveEvent(event);
    }

private:
    TStringGrid& grid_;
    QColor swatch_;
};

namespace {

// Sets a flag for a scope.
class TFlagScope {
public:
    explicit TFlagScope(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
    ~TFlagScope() { flag_ = old_; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& flag_;
    bool old_;
};

} // namespace

TStringGrid::TStringGrid(QWidget* parent) : QTableView(parent), model_(new TGridModel(*this)) {
    setModel(model_);
    selection_ = new TGridSelectionModel(model_, *this);
    QItemSelectionModel* standard = selectionModel();
    setSelectionModel(selection_);
    standard->deleteLater();
    setSelectionMode(SingleSelection);
    setSelectionBehavior(SelectItems);
    setEditTriggers(NoEditTriggers);
    setTabKeyNavigation(true);
    setWordWrap(false);
    verticalHeader()->hide();
    horizontalHeader()->hide();
    horizontalHeader()->setMinimumSectionSize(0);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->setMinimumSectionSize(0);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
    setIconSize(QSize(kSwatchSize, kSwatchSize));
    setItemDelegate(new TGridDelegate(*this));

    editor_ = new TInplaceEdit(*this, viewport());
    setFocusProxy(editor_);
    connect(editor_, &QLineEdit::textEdited, this,
            [this](const QString& text) { EditorTextEdited(text); });
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int, int, int) {
        KeepCurrentVisible();
        PlaceEditor(false);
    });
    SyncCurrent();
}

TStringGrid::~TStringGrid() = default;

QModelIndex TStringGrid::IndexOf(int col, int row) const {
    if (!model_->Contains(col, row) || row < fixedRows_) return {};
    return model_->index(row - fixedRows_, col);
}

QString TStringGrid::Cells(int col, int row) const {
    return model_->Contains(col, row) ? model_->Cell(col, row) : QString();
}

void TStringGrid::SetCells(int col, int row, const QString& text) {
    if (!model_->Contains(col, row)) return;
    model_->SetCell(col, row, text);
    RefreshEditor(col, row);
}

void TStringGrid::ClearRow(int row) {
    for (int col = 0; col < ColCount(); ++col) SetCells(col, row, QString());
}

void TStringGrid::CopyRow(int from, int to) {
    if (!model_->Contains(0, from)) return;
    for (int col = 0; col < ColCount(); ++col) SetCells(col, to, model_->Cell(col, from));
}

int TStringGrid::ColCount() const {
    return model_->Cols();
}

void TStringGrid::SetColCount(int count) {
    count = std::max(count, 1);
    if (count == ColCount()) return;
    model_->SetCols(count);
    elide_.resize(static_cast<size_t>(count), Qt::ElideRight);
    col_ = std::min(col_, count - 1);
    SyncCurrent();
}

int TStringGrid::RowCount() const {
    return model_->Rows();
}

void TStringGrid::SetRowCount(int count) {
    count = std::max(count, fixedRows_ + 1);
    if (count == RowCount()) return;
    if (row_ >= count) {
        SetCurrentCell(col_, count - 1);
        // A refused move cannot keep the cell in a row that goes.
        row_ = std::min(row_, count - 1);
    }
    model_->SetRows(count);
    SyncCurrent();
}

void TStringGrid::SetFixedRows(int count) {
    count = std::clamp(count, 0, std::min(1, RowCount() - 1));
    if (count == fixedRows_) return;
    fixedRows_ = count;
    model_->SetFixed(count);
    horizontalHeader()->setVisible(count > 0);
    if (row_ < count) {
        col_ = 0;
        row_ = count;
    }
    SyncCurrent();
}

int TStringGrid::ColWidths(int col) const {
    return columnWidth(col);
}

void TStringGrid::SetColWidths(int col, int width) {
    if (col >= 0 && col < ColCount()) setColumnWidth(col, std::max(width, 0));
}

int TStringGrid::CellFitWidth(int col, int row) const {
    const QModelIndex index = IndexOf(col, row);
    if (!index.isValid()) return 0;
    // The delegate's own measure, and the grid line that the column's width includes.
    return sizeHintForIndex(index).width() + (showGrid() ? 1 : 0);
}

void TStringGrid::KeepCurrentVisible() {
    if (!IndexOf(col_, row_).isValid() || ColWidths(col_) > 0) return;
    int next = NextVisibleCol(col_, -1);
    if (next < 0) next = NextVisibleCol(col_, 1);
    if (next < 0) return;
    col_ = next;
    SyncCurrent();
}

void TStringGrid::SetCurrentCell(int col, int row) {
    if (!model_->Contains(col, row) || row < fixedRows_ || (col == col_ && row == row_)) return;
    if (!AskMove(col, row) || !IndexOf(col, row).isValid()) return;
    col_ = col;
    row_ = row;
    SyncCurrent();
}

void TStringGrid::RetargetMove(int col, int row) {
    retargeted_ = true;
    retargetCol_ = col;
    retargetRow_ = row;
}

QRect TStringGrid::Selection() const {
    return QRect(QPoint(std::min(anchorCol_, col_), std::min(anchorRow_, row_)),
                 QPoint(std::max(anchorCol_, col_), std::max(anchorRow_, row_)));
}

QList<int> TStringGrid::SelectedColumns() const {
    const QRect block = Selection();
    QList<int> cols;
    for (int col = block.left(); col <= block.right(); ++col) {
        if (ColWidths(col) > 0) cols.append(col);
    }
    return cols;
}

QString TStringGrid::SelectionText() const {
    const QRect block = Selection();
    const QList<int> cols = SelectedColumns();
    QString text;
    for (int row = block.top(); row <= block.bottom(); ++row) {
        for (qsizetype i = 0; i < cols.size(); ++i) {
            if (i > 0) text += u'\t';
            text += Cells(cols[i], row);
        }
        text += u'\n';
    }
    return text;
}

void TStringGrid::SetColElide(int col, Qt::TextElideMode mode) {
    if (col < 0 || col >= ColCount() || elide_[static_cast<size_t>(col)] == mode) return;
    elide_[static_cast<size_t>(col)] = mode;
    viewport()->update();
}

Qt::TextElideMode TStringGrid::ColElide(int col) const {
    return col >= 0 && static_cast<size_t>(col) < elide_.size() ? elide_[static_cast<size_t>(col)]
                                                                : Qt::ElideRight;
}

int TStringGrid::HeadingFitWidth(int col) const {
    if (fixedRows_ == 0 || !model_->Contains(col, 0)) return 0;
    const QString& text = model_->Cell(col, 0);
    if (text.isEmpty()) return 0;
    // The heading is drawn within the section less the style's margin on each side, and the
    // section's width includes its dividing line.
    const QHeaderView* header = horizontalHeader();
    const int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    return header->fontMetrics().horizontalAdvance(text) + 2 * margin + 1;
}

int TStringGrid::ClientWidth() const {
    const QSize room = maximumViewportSize();
    const bool rowsOverflow = verticalHeader()->length() > room.height();
    return room.width() - (rowsOverflow ? verticalScrollBar()->sizeHint().width() : 0);
}

void TStringGrid::SetHint(const QString& hint) {
    model_->SetHint(hint);
    editor_->setToolTip(hint);
}

QWidget* TStringGrid::Editor() const {
    return editor_;
}

void TStringGrid::BeginUpdate() {
    model_->BeginUpdate();
}

void TStringGrid::EndUpdate() {
    model_->EndUpdate();
}

bool TStringGrid::AllowUserMove(int& col, int& row) {
    bool allowed = false;
    TApplication::Run([&] { allowed = AskMove(col, row); });
    return allowed;
}

bool TStringGrid::AskMove(int& col, int& row) {
    // The cell editor leaves its cell before the move is asked for, so that the handlers see
    // the row being left as the one last edited.
    if (OnSetEditText && IndexOf(col_, row_).isValid()) OnSetEditText(col_, row_, editor_->text());
    bool canSelect = true;
    retargeted_ = false;
    if (OnSelectCell) OnSelectCell(col, row, canSelect);
    if (retargeted_) {
        retargeted_ = false;
        col = retargetCol_;
        row = retargetRow_;
    }
    return canSelect;
}

void TStringGrid::UserMove(const QModelIndex& target, bool extend) {
    const TFlagScope scope(extending_);
    extending_ = extend;
    selection_->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect);
}

void TStringGrid::DragTo(const QPoint& at) {
    const QModelIndex target = indexAt(at);
    if (target.isValid() && target != selection_->currentIndex()) UserMove(target, true);
}

void TStringGrid::SyncSelection() {
    const QModelIndex from = IndexOf(anchorCol_, anchorRow_);
    const QModelIndex to = IndexOf(col_, row_);
    if (!from.isValid() || !to.isValid()) return;
    const TFlagScope scope(syncing_);
    selection_->select(QItemSelection(from, to), QItemSelectionModel::ClearAndSelect);
}

void TStringGrid::SyncCurrent() {
    const TFlagScope scope(syncing_);
    const QModelIndex index = IndexOf(col_, row_);
    if (!extending_ || !IndexOf(anchorCol_, anchorRow_).isValid()) {
        anchorCol_ = col_;
        anchorRow_ = row_;
    }
    if (index.isValid()) {
        selection_->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        SyncSelection();
    } else {
        selection_->clearCurrentIndex();
        selection_->clearSelection();
    }
    PlaceEditor(true);
}

void TStringGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (!current.isValid()) return;
    col_ = current.column();
    row_ = current.row() + fixedRows_;
    if (!extending_) {
        anchorCol_ = col_;
        anchorRow_ = row_;
    }
    PlaceEditor(true);
    SyncSelection();
}

void TStringGrid::PlaceEditor(bool reload) {
    if (editor_ == nullptr) return; // Qt lays out while the grid is being built
    const QModelIndex index = IndexOf(col_, row_);
    if (!index.isValid()) {
        editor_->hide();
        return;
    }
    editor_->setGeometry(visualRect(index));
    if (reload) {
        startText_ = model_->Cell(col_, row_);
        editor_->setText(startText_);
        editor_->selectAll();
        editor_->open = false;
    }
    QColor colour;
    if (!OnCellColour || !OnCellColour(col_, row_, colour)) colour = QColor();
    editor_->SetSwatch(colour);
    editor_->show();
}

void TStringGrid::RefreshEditor(int col, int row) {
    if (col != col_ || row != row_) return;
    const QString& text = model_->Cell(col, row);
    startText_ = text;
    if (editor_->text() != text) {
        editor_->setText(text);
        editor_->selectAll();
    }
}

void TStringGrid::EditorTextEdited(const QString& text) {
    if (!IndexOf(col_, row_).isValid()) return;
    editor_->open = true;
    model_->SetCell(col_, row_, text);
    PlaceEditor(false);
    TApplication::Run([&] {
        if (OnSetEditText) OnSetEditText(col_, row_, text);
    });
}

int TStringGrid::NextVisibleCol(int col, int step) const {
    for (int next = col + step; next >= 0 && next < ColCount(); next += step) {
        if (ColWidths(next) > 0) return next;
    }
    return -1;
}

int TStringGrid::PageRows() const {
    const int height = verticalHeader()->defaultSectionSize();
    return std::max(1, viewport()->height() / std::max(1, height) - 1);
}

bool TStringGrid::NavigationTarget(QKeyEvent* event, bool inEditor, int& col, int& row) const {
    const bool ctrl = (event->modifiers() & Qt::ControlModifier) != 0;
    const int first = fixedRows_;
    const int last = RowCount() - 1;
    col = col_;
    row = row_;
    auto moveCol = [&](int step) {
        const int next = NextVisibleCol(col, step);
        if (next >= 0) col = next;
    };
    switch (event->key()) {
    case Qt::Key_Up:
        row = std::max(first, row - 1);
        return true;
    case Qt::Key_Down:
        row = std::min(last, row + 1);
        return true;
    case Qt::Key_PageUp:
        row = std::max(first, row - PageRows());
        return true;
    case Qt::Key_PageDown:
        row = std::min(last, row + PageRows());
        return true;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: {
        const bool back =
            event->key() == Qt::Key_Backtab || (event->modifiers() & Qt::ShiftModifier) != 0;
        const int next = NextVisibleCol(col, back ? -1 : 1);
        if (next >= 0) {
            col = next;
        } else if (back ? row > first : row < last) {
            const int wrapped = NextVisibleCol(back ? ColCount() : -1, back ? -1 : 1);
            if (wrapped >= 0) {
                row += back ? -1 : 1;
                col = wrapped;
            }
        }
        return true;
    }
    case Qt::Key_Left:
        if (inEditor && !ctrl && editor_->KeepsKey(Qt::Key_Left)) return false;
        moveCol(-1);
        return true;
    case Qt::Key_Right:
        if (inEditor && !ctrl && editor_->KeepsKey(Qt::Key_Right)) return false;
        moveCol(1);
        return true;
    case Qt::Key_Home:
        if (inEditor && !ctrl && editor_->KeepsKey(Qt::Key_Home)) return false;
        if (const int next = NextVisibleCol(-1, 1); next >= 0) col = next;
        if (ctrl) row = first;
        return true;
    case Qt::Key_End:
        if (inEditor && !ctrl && editor_->KeepsKey(Qt::Key_End)) return false;
        if (const int next = NextVisibleCol(ColCount(), -1); next >= 0) col = next;
        if (ctrl) row = last;
        return true;
    default:
        return false;
    }
}

bool TStringGrid::HandleShortcut(QKeyEvent* event, bool inEditor) {
    if (event->matches(QKeySequence::Undo)) {
        TApplication::Run([&] {
            if (OnUndo) OnUndo();
        });
        return true;
    }
    // The cell editor's own history is not used: Ctrl+Z is the grid's.
    if (event->matches(QKeySequence::Redo)) return true;
    if (event->matches(QKeySequence::Copy)) {
        const QRect block = Selection();
        if (block.width() > 1 || block.height() > 1) {
            QGuiApplication::clipboard()->setText(SelectionText());
            return true;
        }
        if (inEditor && editor_->hasSelectedText()) return false;
        QGuiApplication::clipboard()->setText(Cells(col_, row_));
        return true;
    }
    if (event->matches(QKeySequence::Paste)) {
        const QString text = QGuiApplication::clipboard()->text();
        if (!text.contains(u'\t') && !text.contains(u'\n') && !text.contains(u'\r')) return false;
        TApplication::Run([&] {
            if (OnPaste) OnPaste(text);
        });
        return true;
    }
    return false;
}

bool TStringGrid::HandleKey(QKeyEvent* event, bool inEditor) {
    if (!TApplication::Run([&] {
            if (OnKeyDown) OnKeyDown(event->key(), event->modifiers());
        })) {
        return true;
    }
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    if (event->key() == Qt::Key_F2 && modifiers == Qt::NoModifier) {
        if (editor_->isVisible()) {
            editor_->setFocus();
            editor_->Open();
        }
        return true;
    }
    if (HandleShortcut(event, inEditor)) return true;
    if (event->key() == Qt::Key_Escape && modifiers == Qt::NoModifier) {
        // The text the cell had when its editor was placed on it, as a change the user makes.
        if (IndexOf(col_, row_).isValid() && editor_->text() != startText_) {
            editor_->setText(startText_);
            model_->SetCell(col_, row_, startText_);
            PlaceEditor(false);
            TApplication::Run([&] {
                if (OnSetEditText) OnSetEditText(col_, row_, startText_);
            });
        }
        editor_->selectAll();
        editor_->open = false;
        anchorCol_ = col_;
        anchorRow_ = row_;
        SyncSelection();
        return true;
    }
    int col = 0;
    int row = 0;
    if (NavigationTarget(event, inEditor, col, row)) {
        const bool extend = (modifiers & Qt::ShiftModifier) != 0 && event->key() != Qt::Key_Tab &&
                            event->key() != Qt::Key_Backtab;
        const QModelIndex target = IndexOf(col, row);
        if (target.isValid() && target != selection_->currentIndex()) {
            UserMove(target, extend);
        } else if (!extend) {
            anchorCol_ = col_;
            anchorRow_ = row_;
            SyncSelection();
        }
        return true;
    }
    const QString text = event->text();
    const bool printable = text.size() == 1 && text[0].isPrint();
    // Ctrl with Alt is how some systems report AltGr, which types characters.
    const bool altGr = (modifiers & Qt::ControlModifier) != 0 && (modifiers & Qt::AltModifier) != 0;
    // Alt and Meta chords (menu mnemonics among them) never type into a cell.
    if (printable && !altGr && (modifiers & (Qt::AltModifier | Qt::MetaModifier)) != 0) return true;
    // Ctrl chords are the cell editor's shortcuts; it types nothing for them.
    if (!inEditor || !printable || ((modifiers & Qt::ControlModifier) != 0 && !altGr)) return false;
    QChar typed = text[0];
    if (!TApplication::Run([&] {
            if (OnKeyPress) OnKeyPress(typed);
        }) ||
        typed.isNull()) {
        return true;
    }
    if (typed == text[0]) return false;
    QKeyEvent replaced(event->type(), event->key(), event->modifiers(), QString(typed),
                       event->isAutoRepeat(), event->count());
    editor_->BaseKeyPress(&replaced);
    return true;
}

bool TStringGrid::edit(const QModelIndex&, EditTrigger, QEvent*) {
    // All editing goes through the cell editor, which follows the current cell.
    return false;
}

void TStringGrid::keyboardSearch(const QString&) {}

void TStringGrid::keyPressEvent(QKeyEvent* event) {
    if (editor_->isVisible()) {
        editor_->setFocus();
        QApplication::sendEvent(editor_, event);
        return;
    }
    HandleKey(event, false);
    event->accept();
}

void TStringGrid::mousePressEvent(QMouseEvent* event) {
    // Only the left button moves the current cell here; a right click moves it before the menu.
    if (event->button() != Qt::LeftButton) return event->accept();
    {
        const TFlagScope scope(extending_);
        extending_ = (event->modifiers() & Qt::ShiftModifier) != 0;
        QTableView::mousePressEvent(event);
    }
    SyncSelection();
    // A click opens the cell editor where it lands (the text stays selected for typing over).
    const QModelIndex at = indexAt(event->position().toPoint());
    if (at.isValid() && at == IndexOf(col_, row_)) editor_->open = true;
}

void TStringGrid::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if ((event->buttons() & Qt::LeftButton) != 0) DragTo(event->position().toPoint());
}

void TStringGrid::mouseReleaseEvent(QMouseEvent* event) {
    QTableView::mouseReleaseEvent(event);
    SyncSelection();
}

void TStringGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton) return;
    // Normally the first click made the cell current already; if not, the same vetoable move.
    const QModelIndex at = indexAt(event->position().toPoint());
    if (!at.isValid()) return;
    if (at != selection_->currentIndex()) {
        selection_->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect);
    }
    if (at == IndexOf(col_, row_) && editor_->isVisible()) {
        editor_->setFocus();
        editor_->Open();
    }
}

void TStringGrid::contextMenuEvent(QContextMenuEvent* event) {
    if (popupMenu_ == nullptr) return QTableView::contextMenuEvent(event);
    event->accept();
    if (event->reason() == QContextMenuEvent::Mouse) {
        // The menu acts on the current row: the cell under the mouse becomes current first,
        // through the same move as a click, and a refused move opens no menu.
        const QModelIndex at = indexAt(event->pos());
        if (at.isValid() && at != selection_->currentIndex()) {
            selection_->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect);
            if (selection_->currentIndex() != at) return;
        }
    }
    popupMenu_->popup(event->globalPos());
}

bool TStringGrid::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex at = indexAt(help->pos());
        if (at.isValid() &&
            CellFitWidth(at.column(), at.row() + fixedRows_) > columnWidth(at.column())) {
            QToolTip::showText(help->globalPos(), model_->Cell(at.column(), at.row() + fixedRows_),
                               viewport(), visualRect(at));
            return true;
        }
    }
    return QTableView::viewportEvent(event);
}

void TStringGrid::scrollContentsBy(int dx, int dy) {
    QTableView::scrollContentsBy(dx, dy);
    PlaceEditor(false);
}

void TStringGrid::scrollTo(const QModelIndex& index, ScrollHint hint) {
    // A cell whose start shows already, over 80 pixels or its whole width, is visible enough:
    // scrolling all of it into view would only push the columns before it (the key column)
    // partly out of sight.
    const int x = horizontalScrollBar()->value();
    const QRect cell = visualRect(index);
    const bool keep =
        cell.left() >= 0 && viewport()->width() - cell.left() >= std::min(cell.width(), 80);
    QTableView::scrollTo(index, hint);
    if (keep) horizontalScrollBar()->setValue(x);
}

void TStringGrid::updateGeometries() {
    QTableView::updateGeometries();
    PlaceEditor(false);
}
