#include "platform/ui/OpenPictureDialog.h"

#include "platform/graphics/Bitmap.h"
#include "platform/qt/BitmapImage.h"
#include "platform/ui/FileDialogs.h"

#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>

namespace {

// A load that has run this long when it reports progress shows the progress bar.
constexpr qint64 kProgressDelayMs = 100;
// Pictures are drawn from an image of at most twice the size they were decoded for (block
// averages of the bitmap; the drawing's smooth scaling does the rest), and never more than this
// many pixels a side.
constexpr int kPreviewImageSide = 4096;
// A point-sampling reader keeps the preview twice the size asked for (a thumbnail keeps four
// times): a glance while arrowing through a folder, the sampling's grain under the filter's.
constexpr uint32_t kPreviewSamplingMargin = 2;
// The smallest size a preview is decoded at, whatever the box's size.
constexpr int kPreviewMinimumSide = 256;
// Progress is painted at most this often while a picture loads.
constexpr qint64 kProgressPaintMs = 200;
constexpr int kPreviewBorder = 5;

int MulDivRounded(int64_t a, int64_t b, int64_t c) {
    return int((a * b + c / 2) / c);
}

// The paint box: the preview drawn by PreviewRect, "(vide)" when there is no picture; a click
// opens the preview window.
class TPreviewBox : public QFrame {
public:
    explicit TPreviewBox(TOpenPictureDialog* dialog) : QFrame(dialog), dialog_(dialog) {
        setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        setMinimumSize(200, 200);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QFrame::paintEvent(event);
        QPainter painter(this);
        const QRect box = contentsRect();
        painter.setClipRect(box);
        const TPicture& picture = dialog_->Picture();
        if (picture.Width() == 0) {
            painter.drawText(box, Qt::AlignCenter, QStringLiteral("(vide)"));
            return;
        }
        const QSize size = dialog_->PreviewSize();
        const QRect target = PreviewRect(size.width(), size.height(), box.width(), box.height())
                                 .translated(box.topLeft());
        const QImage& image = dialog_->PreviewImage();
        if (image.isNull()) {
            // A picture without pixels (a metafile): its place and size only.
            painter.drawRect(target.adjusted(0, 0, -1, -1));
            return;
        }
        if (image.hasAlphaChannel()) DrawTransparencyGrid(painter, target);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, image);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
            dialog_->OpenPreviewWindow();
    }

private:
    TOpenPictureDialog* dialog_;
};

// The preview window's panel: the picture whole, in its proportions (FitRect).
class TFitView : public QWidget {
public:
    TFitView(const QImage& image, QSize picture, QWidget* parent)
        : QWidget(parent), image_(image), picture_(picture) {}

protected:
    void paintEvent(QPaintEvent*) override {
        if (image_.isNull()) return;
        QPainter painter(this);
        const QRect target = FitRect(picture_, size());
        if (image_.hasAlphaChannel()) DrawTransparencyGrid(painter, target);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, image_);
    }

private:
    const QImage& image_;
    QSize picture_;
};

} // namespace

QStringList QtNameFilters(const QString& filter) {
    const QStringList parts = filter.split(u'|');
    QStringList result;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        const QString masks = parts[i + 1];
        const QString suffix = QStringLiteral(" (") + masks + u')';
        if (description.endsWith(suffix)) description.chop(suffix.size());
        result += description + QStringLiteral(" (") +
                  masks.split(u';', Qt::SkipEmptyParts).join(u' ') + u')';
    }
    return result;
}

QRect PreviewRect(int pictureWidth, int pictureHeight, int boxWidth, int boxHeight) {
    if (pictureWidth <= boxWidth && pictureHeight <= boxHeight) {
        return QRect((boxWidth - pictureWidth) / 2, (boxHeight - pictureHeight) / 2, pictureWidth,
                     pictureHeight);
    }
    const auto byWidth = [&] {
        return QRect(0, 0, boxWidth, MulDivRounded(pictureHeight, boxWidth, pictureWidth));
    };
    const auto byHeight = [&] {
        return QRect(0, 0, MulDivRounded(pictureWidth, boxHeight, pictureHeight), boxHeight);
    };
    if (pictureWidth > pictureHeight) {
        const QRect r = byWidth();
        return r.height() <= boxHeight ? r : byHeight();
    }
    const QRect r = byHeight();
    return r.width() <= boxWidth ? r : byWidth();
}

QRect FitRect(const QSize& picture, const QSize& box) {
    if (picture.isEmpty() || box.isEmpty()) return {};
    const QSize shown = picture.width() <= box.width() && picture.height() <= box.height()
                            ? picture
                            : picture.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    return QRect(QPoint((box.width() - shown.width()) / 2, (box.height() - shown.height()) / 2),
                 shown);
}

QSize PreviewWindowSize(const QSize& picture, const QSize& room) {
    if (picture.isEmpty()) return QSize(300, 300).boundedTo(room);
    if (picture.width() <= room.width() && picture.height() <= room.height()) return picture;
    return picture.scaled(room, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

TOpenPictureDialog::TOpenPictureDialog(QWidget* parent)
    : QFileDialog(parent),
      filter_(QString::fromStdString(BuildPictureFilter(TGraphic::ClassRef()))) {
    setOption(QFileDialog::DontUseNativeDialog);
    setAcceptMode(QFileDialog::AcceptOpen);
    setFileMode(QFileDialog::ExistingFile);
    setNameFilters(QtNameFilters(filter_));

    auto* panel = new QWidget(this);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    auto* header = new QHBoxLayout;
    label_ = new QLabel(QStringLiteral("Image :"), panel);
    previewButton_ = new QToolButton(panel);
    previewButton_->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
    previewButton_->setToolTip(QStringLiteral("Prévisualiser"));
    previewButton_->setAccessibleName(QStringLiteral("Prévisualiser"));
    previewButton_->setEnabled(false);
    header->addWidget(label_, 1);
    header->addWidget(previewButton_);
    column->addLayout(header);
    paintBox_ = new TPreviewBox(this);
    column->addWidget(paintBox_, 1);
    progressBar_ = new QProgressBar(panel);
    progressBar_->setRange(0, 100);
    // The bar keeps its place when hidden: it is shown in the middle of a load, when the
    // layout cannot run.
    QSizePolicy keepPlace = progressBar_->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    progressBar_->setSizePolicy(keepPlace);
    progressBar_->hide();
    column->addWidget(progressBar_);

    if (auto* grid = qobject_cast<QGridLayout*>(layout()))
        grid->addWidget(panel, 0, grid->columnCount(), grid->rowCount(), 1);
    else
        layout()->addWidget(panel);

    picture_.OnProgress = [this](TGraphic&, TProgressStage stage, uint8_t percentDone, bool,
                                 const TRect&,
                                 const std::string&) { LoadProgress(stage, percentDone); };
    MakeFileDialogReadable(*this);
    resize(1000, 540);
    connect(this, &QFileDialog::currentChanged, this, &TOpenPictureDialog::ShowPreview);
    // A name typed in full selects its file in the list without making it current: the
    // preview follows the name too.
    if (auto* name = findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        connect(name, &QLineEdit::textChanged, this, [this](const QString& text) {
            const QString path = directory().absoluteFilePath(text);
            if (!text.isEmpty() && path != previewPath_ && QFileInfo(path).isFile())
                ShowPreview(path);
        });
    connect(previewButton_, &QToolButton::clicked, this, &TOpenPictureDialog::OpenPreviewWindow);
}

TOpenPictureDialog::~TOpenPictureDialog() = default;

bool TOpenPictureDialog::Execute() {
    StartFileDialog(*this, InitialDir, Title, FileName);
    ClearPreview();
    const bool chosen = exec() == QDialog::Accepted && !selectedFiles().isEmpty();
    if (chosen) FileName = selectedFiles().first();
    // The preview of a large picture is not kept once the dialog has closed.
    ClearPreview();
    return chosen;
}

void TOpenPictureDialog::ShowPreview(const QString& path) {
    bool loaded = false;
    if (!path.isEmpty() && QFileInfo(path).isFile()) {
        // The picture is decoded at the size the box shows (readers that can shrink cheaply do).
        const QSize box = paintBox_->contentsRect().size() * paintBox_->devicePixelRatioF();
        loaded = LoadPreview(path, box.expandedTo(QSize(kPreviewMinimumSide, kPreviewMinimumSide)));
    }
    if (loaded) {
        previewPath_ = path;
        const QSize size = PreviewSize();
        label_->setText(QString::asprintf(" (%dx%d)", size.width(), size.height()));
        previewButton_->setEnabled(true);
    } else {
        ClearPreview();
    }
    paintBox_->update();
}

bool TOpenPictureDialog::LoadPreview(const QString& path, QSize requested) {
    bool loaded = false;
    loadClock_.start();
    try {
        picture_.SetRequestedSize(requested.width(), requested.height());
        picture_.SetSamplingMargin(kPreviewSamplingMargin);
        picture_.LoadFromFile(QFile::encodeName(path).toStdString());
        image_ = {};
        if (const TBitmap* bitmap = picture_.Graphic()->AsBitmap()) {
            // Square, so that a picture stored turned gets the same bound.
            const int side =
                std::min(2 * std::max(requested.width(), requested.height()), kPreviewImageSide);
            image_ = UprightImage(BitmapToQImage(*bitmap, QSize(side, side)),
                                  picture_.Graphic()->Orientation());
            if (image_.hasAlphaChannel()) image_.convertTo(QImage::Format_ARGB32_Premultiplied);
        }
        loaded = true;
    } catch (const std::exception&) {
        // The preview shows no picture for a file it cannot read; nothing is reported.
    }
    loadClock_.invalidate();
    progressBar_->hide();
    return loaded;
}

QSize TOpenPictureDialog::PreviewSize() const {
    const TGraphic* graphic = picture_.Graphic();
    if (!graphic) return {};
    return UprightSize(graphic->FullWidth(), graphic->FullHeight(), graphic->Orientation());
}

void TOpenPictureDialog::ClearPreview() {
    picture_.Clear();
    image_ = {};
    label_->setText(QStringLiteral("Image :"));
    previewButton_->setEnabled(false);
    paintBox_->update();
}

void TOpenPictureDialog::LoadProgress(TProgressStage stage, uint8_t percentDone) {
    switch (stage) {
    case psStarting:
        progressBar_->setValue(0);
        break;
    case psRunning:
        if (progressBar_->isHidden() && loadClock_.isValid() &&
            loadClock_.elapsed() >= kProgressDelayMs)
            progressBar_->show();
        if (!progressBar_->isHidden()) {
            progressBar_->setValue(std::min<int>(percentDone, 100));
            // Loads run on this thread: paint now, the event loop is not running; a few times a
            // second is enough to see it move.
            if (!paintClock_.isValid() || paintClock_.elapsed() >= kProgressPaintMs) {
                progressBar_->repaint();
                paintClock_.start();
            }
        }
        break;
    case psEnding:
        progressBar_->hide();
        paintClock_.invalidate();
        break;
    }
}

void TOpenPictureDialog::OpenPreviewWindow() {
    QRect area(0, 0, 1024, 768);
    if (const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    // A preview decoded small for the box is decoded again at the size the window can show.
    if (const TGraphic* graphic = picture_.Graphic();
        graphic && graphic->Width() < graphic->FullWidth() && !previewPath_.isEmpty())
        LoadPreview(previewPath_, area.size() * devicePixelRatioF());
    // A window of its own with a caption of the usual size, naming the file and its size.
    QDialog window(this);
    QString title = QStringLiteral("Prévisualiser");
    const QSize picture = PreviewSize();
    if (picture_.Width() > 0) {
        title += QStringLiteral(" - %1 (%2x%3)")
                     .arg(QFileInfo(previewPath_).fileName())
                     .arg(picture.width())
                     .arg(picture.height());
    }
    window.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(kPreviewBorder, kPreviewBorder, kPreviewBorder, kPreviewBorder);
    layout->addWidget(new TFitView(image_, picture, &window));

    // The window's frame (caption and borders) takes room around the picture as well.
    constexpr int kFrameWidth = 16, kFrameHeight = 48;
    const QSize border(2 * kPreviewBorder, 2 * kPreviewBorder);
    const QSize room = area.size() - border - QSize(kFrameWidth, kFrameHeight);
    const QSize size = PreviewWindowSize(picture, room) + border;
    window.resize(size);
    window.move(area.center() - QPoint(size.width() / 2, size.height() / 2));
    window.exec();
}
