// The picture-open dialog: a file dialog with a preview panel that loads the selected file
// through the picture registry and shows its size and a preview.
#pragma once

#include "platform/graphics/Picture.h"

#include <QElapsedTimer>
#include <QFileDialog>
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>

class QFrame;
class QLabel;
class QProgressBar;
class QToolButton;
class QWidget;

// A registry filter ("description|masks|description|masks", masks separated by ";") as Qt's
// name filters ("description (*.a *.b)"). A description that already ends with its masks in
// parentheses gets them once, separated by spaces.
QStringList QtNameFilters(const QString& filter);

// Where a picture of the given size is drawn in a box: at its own size and centred when it
// fits; otherwise scaled from the box's top-left corner keeping its proportions: full box
// width when it is wider than tall, full box height otherwise, the other side
// multiplied and divided with rounding to nearest; when that side would still overflow the
// box, the picture is scaled to that side instead, so that it is never cut.
QRect PreviewRect(int pictureWidth, int pictureHeight, int boxWidth, int boxHeight);

// Where a picture of the given size is drawn in a box of the preview window: whole and in its
// proportions, at its own size and centred when it fits, otherwise scaled down to fit, centred.
QRect FitRect(const QSize& picture, const QSize& box);
// The size of the preview window's picture area for a picture: its own size, or less in its
// proportions so that it fits within `room` (the screen's free area less the window's frame).
QSize PreviewWindowSize(const QSize& picture, const QSize& room);

class TOpenPictureDialog : public QFileDialog {
    Q_OBJECT
public:
    // The filter is built here, once, from the picture registry as it stands.
    explicit TOpenPictureDialog(QWidget* parent = nullptr);
    ~TOpenPictureDialog() override;

    // Set before Execute, FileName read after it.
    QString InitialDir;
    QString Title;
    QString FileName;

    // The registry's filter string, as built at creation.
    const QString& Filter() const { return filter_; }

    // Runs the dialog modally; true when the user chose a file, which is then in FileName.
    bool Execute();

    // The preview panel's parts.
    QLabel* PictureLabel() const { return label_; }
    QToolButton* PreviewButton() const { return previewButton_; }
    QFrame* PaintBox() const { return paintBox_; }
    QProgressBar* ProgressBar() const { return progressBar_; }
    const TPicture& Picture() const { return picture_; }
    // The picture as drawn (upright), or a null image for a picture without pixels.
    const QImage& PreviewImage() const { return image_; }
    // The picture's size once turned upright.
    QSize PreviewSize() const;

    // Loads `path` into the preview as a change of selection does.
    void ShowPreview(const QString& path);
    // Opens the "Prévisualiser" window on the picture (modal; Escape closes it).
    void OpenPreviewWindow();

private:
    void LoadProgress(TProgressStage stage, uint8_t percentDone);
    void ClearPreview();

    QString filter_;
    TPicture picture_;
    QImage image_;
    QString previewPath_;
    QLabel* label_ = nullptr;
    QToolButton* previewButton_ = nullptr;
    QFrame* paintBox_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QElapsedTimer loadClock_;
};
